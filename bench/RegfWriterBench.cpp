// Writing a large binary hive (SOFTWARE-like, KESTROVE_BENCH_REGF_MB megabytes, 200 by
// default) after one value changed, as `reg add` on an offline Windows rewrites the hive,
// side by side with `cp` of the written file. The aim: within 3 times `cp`.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <ctime>

#include "../tests/platform/regf/RegfTreeMaker.h"
#include "platform/regf/RegfWriter.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double SecondsOf(const std::function<void()>& f) {
  auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// This thread's CPU time: the machine may be shared, and wall time then says little.
double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

kestrove::regftest::THiveTree& LargeTree() {
  static kestrove::regftest::THiveTree tree = [] {
    const char* env = std::getenv("KESTROVE_BENCH_REGF_MB");
    const std::uint64_t megabytes = env ? std::strtoull(env, nullptr, 10) : 200;
    kestrove::regftest::THiveTree t;
    t.hive.rootName = "CMI-CreateHive{199DAFC2-6F16-4946-BF90-5A3FC3A60902}";
    kestrove::regftest::MakeSoftwareLikeTree(t, megabytes * 1000000);
    return t;
  }();
  return tree;
}

void SaveFile(const fs::path& path, const std::string& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) std::abort();
}

void BM_WriteRegfVsCp(benchmark::State& state) {
  kestrove::regftest::THiveTree& tree = LargeTree();
  const fs::path dir = fs::temp_directory_path() / "kestrove-bench-regf";
  fs::create_directories(dir);
  const fs::path file = dir / "SOFTWARE", copy = dir / "SOFTWARE.cp";
  kestrove::regtree::Node* key = tree.root->children.front()->children.front()->children.front()->children.front().get();
  const auto noValues = [](kestrove::regtree::Node&) {};
  SaveFile(file, kestrove::regf::WriteRegfHive(tree.hive, noValues, {}));  // warm up
  const std::string cp = "cp '" + file.string() + "' '" + copy.string() + "'";
  double write = 0, cpTime = 0, mb = 0, serialize = 0, serializeCpu = 0;
  std::uint32_t counter = 0;
  for (auto _ : state) {
    cpTime += SecondsOf([&] {
      if (std::system(cp.c_str()) != 0) std::abort();
    });
    kestrove::regftest::SetValue(*key, "Counter", kestrove::REG_DWORD, kestrove::regftest::Dword(++counter));
    const double t = SecondsOf([&] {
      std::string hive;
      const double cpu0 = ThreadCpuSeconds();
      serialize += SecondsOf([&] { hive = kestrove::regf::WriteRegfHive(tree.hive, noValues, {}); });
      serializeCpu += ThreadCpuSeconds() - cpu0;
      mb = static_cast<double>(hive.size()) / 1e6;
      SaveFile(file, hive);
    });
    write += t;
    state.SetIterationTime(t);
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["hive_MB"] = mb;
  state.counters["write_s"] = write / n;  // made and saved
  state.counters["serialize_s"] = serialize / n;  // made in memory
  state.counters["serialize_cpu_s"] = serializeCpu / n;
  state.counters["cp_s"] = cpTime / n;
  state.counters["write_over_cp"] = write / cpTime;
  fs::remove_all(dir);
}
BENCHMARK(BM_WriteRegfVsCp)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
