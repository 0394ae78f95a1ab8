// A full registry scan against the floor it cannot beat: one stat of every distinct file the
// registry names. The target holds KESTROVE_BENCH_SCAN_VALUES string values (200,000 by
// default) under HKLM\Software naming a fifth as many distinct files (half of them present),
// each named five times.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/memory/MemoryTarget.h"
#include "regscan/ScanTaskThread.h"

namespace {

using namespace kestrove;
namespace fs = std::filesystem;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : fallback;
}

// KESTROVE_BENCH_SCAN_VALUES values (200,000 by default) naming a fifth as many files.
const int kValuesPerKey = 1000;
const int kKeys = std::max(1, EnvInt("KESTROVE_BENCH_SCAN_VALUES", 200000) / kValuesPerKey);
const int kDistinct = std::max(1, kKeys * kValuesPerKey / 5);
constexpr int kPerFolder = 1000;

std::string FolderName(int j) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "d%03d", j / kPerFolder);
  return buf;
}
std::string FileName(int j) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "f%06d.dll", j);
  return buf;
}

// CPU time of this thread, user and system: what the work costs, whatever else the machine
// is busy with.
double ThreadSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Fixture {
  memory::MemoryTarget target;
  std::vector<std::string> hostPaths;

  Fixture() {
    RegistryStore& store = *target.Registry();
    for (int k = 0; k < kKeys; ++k) {
      const std::string key = "Software\\Bench\\K" + std::to_string(k);
      store.CreateKey(HKEY_LOCAL_MACHINE, key);
      for (int v = 0; v < kValuesPerKey; ++v) {
        const int j = (k * kValuesPerKey + v) % kDistinct;
        const std::string path = "C:\\bench\\" + FolderName(j) + "\\" + FileName(j);
        store.SetValue(HKEY_LOCAL_MACHINE, key, "V" + std::to_string(v), REG_SZ, Utf8ToUtf16Le(path, true));
      }
    }
    for (int j = 0; j < kDistinct; ++j) {
      const fs::path host = target.DriveC() / "bench" / FolderName(j) / FileName(j);
      if (j % kPerFolder == 0) fs::create_directories(host.parent_path());
      if (j % 2 == 0) std::ofstream(host).put('M');
      hostPaths.push_back(host.string());
    }
  }
};

class CountingEvents : public IScanEvents {
 public:
  std::size_t rows = 0;
  void OnTitle(const std::string&) override {}
  void OnKeyMemo(const std::string&) override {}
  void OnRow(const TScanResult&) override { ++rows; }
  void OnScanStep() override {}
  void OnScanDone() override {}
};

void BM_FullScanAgainstStatFloor(benchmark::State& state) {
  // Built once; removed with its files when the program ends.
  static const std::unique_ptr<Fixture> fixture = std::make_unique<Fixture>();
  for (auto _ : state) {
    // The floor: each distinct file asked for once.
    const auto s0 = std::chrono::steady_clock::now();
    const double c0 = ThreadSeconds();
    std::size_t present = 0;
    struct stat st;
    for (const std::string& p : fixture->hostPaths) present += ::stat(p.c_str(), &st) == 0;
    const auto s1 = std::chrono::steady_clock::now();
    const double c1 = ThreadSeconds();

    CountingEvents events;
    TScanTaskThread worker(fixture->target, events, false);
    for (int code = 1; code <= 25; ++code) worker.SectionCodes.push_back(std::to_string(code));
    worker.Execute();
    const auto s2 = std::chrono::steady_clock::now();
    const double c2 = ThreadSeconds();

    const double statSeconds = std::chrono::duration<double>(s1 - s0).count();
    const double scanSeconds = std::chrono::duration<double>(s2 - s1).count();
    state.counters["stat_s"] = statSeconds;
    state.counters["scan_s"] = scanSeconds;
    state.counters["ratio"] = scanSeconds / statSeconds;
    state.counters["cpu_ratio"] = (c2 - c1) / (c1 - c0);
    state.counters["rows"] = static_cast<double>(events.rows);
    state.counters["present"] = static_cast<double>(present);
    state.counters["folders_listed"] = static_cast<double>(worker.Rules().Probe().FoldersListed());
    state.counters["path_cache_hits"] = static_cast<double>(worker.Rules().CacheHits());
  }
}
BENCHMARK(BM_FullScanAgainstStatFloor)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
