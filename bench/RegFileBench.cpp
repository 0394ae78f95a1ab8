// Import of a large .reg file: parsing, and parsing plus applying to a registry in memory.
// The file is about KESTROVE_BENCH_REG_MB MB (100 by default) of keys shaped like a real export.
// Compare by hand with Wine's own importer on the same file (see the note printed by the run):
//   WINEPREFIX=/tmp/p wineboot -i; time (WINEPREFIX=/tmp/p wine regedit /s FILE; WINEPREFIX=/tmp/p wineserver -w)
//   time kestrove-regedit --root /tmp/q /s FILE     (on another fresh prefix)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "regscan/RegFile.h"

namespace {

namespace fs = std::filesystem;

const fs::path& LargeRegFile() {
  static fs::path file = [] {
    const char* env = std::getenv("KESTROVE_BENCH_REG_MB");
    const std::size_t megabytes = env ? std::strtoul(env, nullptr, 10) : 100;
    fs::path f = fs::temp_directory_path() / ("kestrove-bench-" + std::to_string(megabytes) + ".reg");
    if (fs::exists(f) && fs::file_size(f) >= megabytes * 1000000) return f;
    std::ofstream out(f, std::ios::binary);
    out << "REGEDIT4\r\n";
    char line[600];
    std::size_t written = 0;
    for (unsigned vendor = 0; written < megabytes * 1000000; ++vendor)
      for (unsigned k = 0; k < 20; ++k) {
        const int n = std::snprintf(
            line, sizeof line,
            "\r\n[HKEY_CURRENT_USER\\Software\\Vendor%05u\\Application\\Group%02u]\r\n"
            "@=\"Default value %u\"\r\n"
            "\"InstallPath\"=\"C:\\\\Program Files\\\\Vendor%05u\\\\bin\\\\app%u.exe\"\r\n"
            "\"Flags\"=dword:%08X\r\n"
            "\"Path\"=hex(2):25,50,72,6F,67,72,61,6D,46,69,6C,65,73,25,5C,56,65,6E,64,6F,72,00\r\n"
            "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0A,0B,0C,0D,0E,0F,10,11,12,13,14,15,16,17,18,19,\\\r\n"
            "1A,1B,1C,1D,1E,1F\r\n",
            vendor, k, k, vendor, k, vendor * 31 + k);
        out.write(line, n);
        written += std::size_t(n);
      }
    return f;
  }();
  return file;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void BM_RegFileParse(benchmark::State& state) {
  const std::string bytes = ReadAll(LargeRegFile());
  for (auto _ : state) {
    std::vector<kestrove::TRegFileProblem> problems;
    auto contents = kestrove::ParseRegFile(bytes, problems);
    if (!contents) state.SkipWithError("the generated file did not parse");
    benchmark::DoNotOptimize(contents);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bytes.size()));
}
BENCHMARK(BM_RegFileParse)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_RegFileImportToMemory(benchmark::State& state) {
  const std::string bytes = ReadAll(LargeRegFile());
  for (auto _ : state) {
    std::vector<kestrove::TRegFileProblem> problems;
    auto contents = kestrove::ParseRegFile(bytes, problems);
    auto store = kestrove::RegistryStore::CreateInMemory();
    if (!contents || kestrove::ApplyRegFile(*store, *contents)) state.SkipWithError("the import failed");
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bytes.size()));
  state.SetLabel(LargeRegFile().string());
}
BENCHMARK(BM_RegFileImportToMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
