// Listing an index.dat of 100,000 URL records (what the viewer and kestrove-cli index-dat
// do: read, walk, and turn every row into text) against msiecfexport (libmsiecf-utils) on
// the same file. Prints one line with both times and the ratio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "../tests/tools/IndexDatBuilder.h"
#include "tools/IndexDat.h"

namespace {

namespace fs = std::filesystem;
constexpr int kRecords = 100000;

const fs::path& GeneratedIndexDat() {
  static fs::path file = [] {
    fs::path f = fs::temp_directory_path() / "kestrove-bench-index-100000.dat";
    if (fs::exists(f)) return f;
    kestrove::testing::TIndexDatBuilder b;
    constexpr std::uint32_t kTableBlocks = 32;  // 510 entries, as Internet Explorer's tables
    constexpr int kPerTable = int((kTableBlocks * 128 - 16) / 8);
    std::uint32_t table = 0;
    std::uint64_t time = 130849743202620000;
    for (int i = 0; i < kRecords; ++i) {
      if (i % kPerTable == 0) table = b.Table(kTableBlocks);
      const std::string url = "http://www.example" + std::to_string(i % 977) + ".com/path/to/page" +
                              std::to_string(i) + ".html?query=" + std::to_string(i * 7919);
      b.Entry(table, std::uint32_t(i % kPerTable), b.Url(url, time += 10000000), 0x1000u + std::uint32_t(i) * 256u);
    }
    std::ofstream(f, std::ios::binary) << b.Build();
    return f;
  }();
  return file;
}

double SecondsOf(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_IndexDatListVsMsiecfexport(benchmark::State& state) {
  if (std::system("command -v msiecfexport >/dev/null 2>&1") != 0) {
    state.SkipWithError("msiecfexport (Debian package libmsiecf-utils) is not installed");
    for (auto _ : state) {
    }
    return;
  }
  const fs::path& file = GeneratedIndexDat();
  const std::string reference = "msiecfexport '" + file.string() + "' >/dev/null 2>&1";
  std::system(reference.c_str());  // warm the page cache
  double ours = 0, theirs = 0;
  std::size_t rows = 0;
  for (auto _ : state) {
    theirs += SecondsOf([&] {
      if (std::system(reference.c_str()) != 0) std::abort();
    });
    const double t = SecondsOf([&] {
      std::vector<kestrove::TIndexDatRecord> records;
      if (!kestrove::ReadIndexDat(file.string(), records)) std::abort();
      std::string text;
      for (const auto& r : records) text += r.Url + '\t' + kestrove::IndexDatTimeText(r.FileTime) + '\n';
      benchmark::DoNotOptimize(text);
      rows = records.size();
    });
    ours += t;
    state.SetIterationTime(t);
  }
  const double n = double(state.iterations());
  state.counters["rows"] = double(rows);
  state.counters["ratio"] = theirs / ours;
  std::printf("index.dat listing, %zu rows: kestrove %.1f ms, msiecfexport %.1f ms: %.1fx faster\n", rows,
              ours / n * 1000, theirs / n * 1000, theirs / ours);
}
BENCHMARK(BM_IndexDatListVsMsiecfexport)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
