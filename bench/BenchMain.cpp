// kestrove_bench's main: Google Benchmark's console output, then every ratio (a counter named
// "..._over_..." or "...ratio...") again on a line of its own, so that a run can be read,
// compared and grepped at a glance.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class TRatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      for (const auto& [name, counter] : run.counters)
        if (name.find("_over_") != std::string::npos || name.find("ratio") != std::string::npos)
          ratios_.push_back(run.benchmark_name() + "  " + name + " = " + Format(counter.value));
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nRatios (ours over the reference; below 1 is faster):\n");
    for (const std::string& line : ratios_) std::printf("ratio  %s\n", line.c_str());
    std::fflush(stdout);
  }

 private:
  static std::string Format(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3g", v);
    return buf;
  }
  std::vector<std::string> ratios_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
