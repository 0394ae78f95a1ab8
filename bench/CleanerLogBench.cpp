// How fast a cleaning job's log lines reach the owner: a job logging many detail lines,
// the owner thread draining its queue as the window's event loop would.
#include <benchmark/benchmark.h>

#include <atomic>

#include "cleaner/ClearTask.h"

namespace {

using namespace kestrove;

class CountingEvents : public IClearTaskEvents {
 public:
  std::size_t lines = 0;
  bool ended = false;
  void AddLogLine(const std::string&) override { ++lines; }
  void ScrollLogToEnd() override {}
  void CleanProgress(int) override {}
  void CleanDone(int) override {}
  void JobEnded(bool, const std::string&) override { ended = true; }
};

void BM_LogLinesToOwner(benchmark::State& state) {
  const int perItem = static_cast<int>(state.range(0));
  std::size_t total = 0;
  for (auto _ : state) {
    TMessageQueue queue;
    CountingEvents events;
    std::atomic<bool> fast{false};
    TOptionsSetting options;
    TCleanContext context;
    context.Options = &options;
    auto job = std::make_shared<TClearTaskThread>(context, queue, events, TestRun,
                                                  std::vector<std::string>{"A - one", "A - two"}, fast);
    job->Dispatcher = [perItem](const std::string&) -> TItemOperation {
      return [perItem](TClearTaskThread& j) {
        for (int i = 0; i < perItem; ++i) {
          j.LogDetail(j.LinePrefix + "deleting C:\\Users\\user\\AppData\\Local\\Temp\\file" + std::to_string(i), 50);
          ++j.ItemCount;
          j.ProgressPacing();
        }
      };
    };
    job->Resume();
    queue.ProcessUntil([&] { return events.ended; });
    total += events.lines;
  }
  state.counters["lines_per_s"] = benchmark::Counter(static_cast<double>(total), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LogLinesToOwner)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
