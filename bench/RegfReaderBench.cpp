// Reading a large SOFTWARE-like hive whole (every key, then every value), side by side with the
// reference readers that do the same: hivexregedit --export and regfexport.
//   KESTROVE_BENCH_REGF_MB=200 build/kestrove_bench --benchmark_filter=RegfLoad
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <vector>

#include "platform/RegistryTree.h"
#include "platform/regf/RegfReader.h"
#include "platform/regf/RegfWriter.h"
#include "../tests/platform/regf/RegfTreeMaker.h"

namespace {

namespace fs = std::filesystem;

double WallSeconds(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds of the children run so far (user and system).
double ChildrenCpu() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool Have(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

const fs::path& BenchHive() {
  static const fs::path file = [] {
    const char* env = std::getenv("KESTROVE_BENCH_REGF_MB");
    const std::uint64_t megabytes = env ? std::strtoull(env, nullptr, 10) : 200;
    kestrove::regftest::THiveTree tree;
    tree.hive.rootName = "CMI-CreateHive{199DAFC2-6F16-4946-BF90-5A3FC3A60902}";
    kestrove::regftest::MakeSoftwareLikeTree(tree, megabytes * 1000000);
    const std::string data = kestrove::regf::WriteRegfHive(tree.hive, [](kestrove::regtree::Node&) {}, {});
    const fs::path dir = fs::temp_directory_path() / "kestrove-bench-regf-read";
    fs::create_directories(dir);
    const fs::path path = dir / "SOFTWARE";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) std::abort();
    return path;
  }();
  return file;
}

void BM_RegfLoadVsReferenceReaders(benchmark::State& state) {
  const fs::path& file = BenchHive();
  double ours = 0, keys = 0, values = 0;
  for (auto _ : state) {
    const double t = WallSeconds([&] {
      kestrove::regtree::Node root;
      kestrove::regtree::Hive hive;
      hive.root = &root;
      kestrove::regf::LoadRegfHive(file, hive);
      keys = values = 0;
      std::vector<kestrove::regtree::Node*> pending{&root};
      while (!pending.empty()) {
        kestrove::regtree::Node* n = pending.back();
        pending.pop_back();
        ++keys;
        if (!n->valuesReady.load()) {
          kestrove::regtree::Node scratch;
          scratch.rawBegin = n->rawBegin;
          scratch.rawEnd = n->rawEnd;
          kestrove::regf::LoadRegfValues(hive, scratch);
          values += static_cast<double>(scratch.values.size());
        } else {
          values += static_cast<double>(n->values.size());
        }
        for (auto& c : n->children) pending.push_back(c.get());
      }
    });
    ours += t;
    state.SetIterationTime(t);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["hive_MB"] = static_cast<double>(fs::file_size(file)) / 1e6;
  state.counters["keys"] = keys;
  state.counters["values"] = values;
  state.counters["ours_s"] = ours / n;
  // The reference readers once each, their output thrown away.
  struct Tool {
    const char* name;
    std::string command;
  };
  const Tool tools[] = {{"hivexregedit", "hivexregedit --export '" + file.string() + "' '\\\\' >/dev/null 2>&1"},
                        {"regfexport", "regfexport '" + file.string() + "' >/dev/null 2>&1"}};
  for (const Tool& tool : tools) {
    if (!Have(tool.name)) continue;
    const double cpu0 = ChildrenCpu();
    const double wall = WallSeconds([&] {
      if (std::system(tool.command.c_str()) != 0) state.SkipWithError(tool.name);
    });
    state.counters[std::string(tool.name) + "_s"] = wall;
    state.counters[std::string(tool.name) + "_cpu_s"] = ChildrenCpu() - cpu0;
    state.counters[std::string(tool.name) + "_over_ours"] = wall / (ours / n);
  }
}
BENCHMARK(BM_RegfLoadVsReferenceReaders)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
