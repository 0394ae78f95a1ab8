// The cleaner's file work side by side with the system's own tools, in one run:
//  - a Test of "Windows - Temporary Files" over a tree of 10,000 small files against
//    `find DIR -type f -printf '%s\n'` on a copy of the same tree;
//  - a Clean of the same item against `rm -rf DIR` on a copy;
//  - overwriting a 128 MiB file with 3 passes against `shred -n 3`;
//  - a Clean of "Internet Explorer - Visited URL History" over an index of 100,000 visits
//    against a Test of the same item (the Test only lists; the Clean deletes every entry,
//    writes the index back and wipes it).
// KESTROVE_BENCH_TREE_FILES and KESTROVE_BENCH_OVERWRITE_MB change the sizes,
// KESTROVE_BENCH_ITERATIONS the runs of each (default 3). The trees and the file live in
// $TMPDIR: on a disk mounted with "discard" every removal waits for the device, so run the
// tree benchmarks once with TMPDIR on a tmpfs as well to see the program's own cost.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "../tests/tools/IndexDatBuilder.h"
#include "cleaner/ClearTask.h"
#include "platform/FileServices.h"
#include "platform/memory/MemoryTarget.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrove;
using Clock = std::chrono::steady_clock;

std::size_t EnvSize(const char* name, std::size_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoul(v, nullptr, 10) : fallback;
}

const auto kIterations = static_cast<benchmark::IterationCount>(EnvSize("KESTROVE_BENCH_ITERATIONS", 3));

double SecondsOf(const std::function<void()>& f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void Shell(const std::string& cmd) {
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::abort();
  }
}

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

// 10 folders of 10 folders of files, small and of varied sizes, as a temporary folder
// fills up. Built once and copied for every run.
const fs::path& MasterTree() {
  static const fs::path dir = [] {
    const std::size_t files = EnvSize("KESTROVE_BENCH_TREE_FILES", 10000);
    const fs::path d = fs::temp_directory_path() / ("kestrove-bench-tree-" + std::to_string(files));
    if (fs::exists(d / ".complete")) return d;
    fs::remove_all(d);
    std::mt19937 random(11);
    const std::string data(1024, 'x');
    const std::size_t perFolder = std::max<std::size_t>(files / 100, 1);
    std::size_t made = 0;
    for (int a = 0; a < 10; ++a) {
      for (int b = 0; b < 10; ++b) {
        const fs::path folder = d / ("group" + std::to_string(a)) / ("cache" + std::to_string(b));
        fs::create_directories(folder);
        for (std::size_t i = 0; i < perFolder && made < files; ++i, ++made) {
          const int fd = ::open((folder / ("~tmp" + std::to_string(i) + ".tmp")).c_str(),
                                O_WRONLY | O_CREAT | O_TRUNC, 0644);
          if (fd < 0 || ::write(fd, data.data(), random() % 1024) < 0) std::abort();
          ::close(fd);
        }
      }
    }
    std::ofstream(d / ".complete") << files;
    return d;
  }();
  return dir;
}

// A copy of the tree (without the marker) at `to`.
void CopyTree(const fs::path& to) {
  fs::remove_all(to);
  Shell("cp -a " + Quote(MasterTree()) + " " + Quote(to) + " && rm " + Quote(to / ".complete"));
  // The copy's write-back would otherwise land on whichever side runs first.
  ::sync();
}

class CountingEvents : public IClearTaskEvents {
 public:
  std::size_t lines = 0;
  int total = -1;
  bool ended = false;
  void AddLogLine(const std::string&) override { ++lines; }
  void ScrollLogToEnd() override {}
  void CleanProgress(int) override {}
  void CleanDone(int t) override { total = t; }
  void JobEnded(bool, const std::string&) override { ended = true; }
};

// The owner's queue as TMessageQueue, except that a post wakes the owner only when it may be
// waiting (the queue was empty) and the owner takes everything queued at once: a measure of
// what the log's hand-over costs per line.
class TBatchQueue : public IOwnerThread {
 public:
  // With a pause, the owner lets calls gather for that long after a wake-up, as a window's
  // event loop that paints at most so often would.
  explicit TBatchQueue(std::chrono::microseconds pause = {}) : pause_(pause) {}
  void Post(std::function<void()> call) override {
    bool wasEmpty;
    {
      std::lock_guard lock(mu_);
      wasEmpty = queue_.empty();
      queue_.push_back(std::move(call));
    }
    if (wasEmpty) cv_.notify_one();
  }
  void Send(const std::function<void()>& call) override {
    std::promise<void> done;
    Post([&] {
      call();
      done.set_value();
    });
    done.get_future().get();
  }
  void ProcessUntil(const std::function<bool()>& finished) {
    std::deque<std::function<void()>> batch;
    while (!finished()) {
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return !queue_.empty(); });
        if (pause_.count() > 0) {
          lock.unlock();
          std::this_thread::sleep_for(pause_);
          lock.lock();
        }
        batch.swap(queue_);
      }
      for (auto& call : batch) call();
      batch.clear();
    }
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  std::chrono::microseconds pause_;
};

// TBatchQueue that gathers calls for a millisecond.
class TPacedQueue : public TBatchQueue {
 public:
  TPacedQueue() : TBatchQueue(std::chrono::milliseconds(1)) {}
};

class NoPrompt : public IPrompt {
 public:
  TMsgResult Ask(const TMessageRequest&) override { return TMsgResult::No; }
};

// A whole job over one item, as the window or the command-line tool runs it; the owner
// thread drains the log as it comes. Returns the entries found.
template <class Queue>
int RunJobWith(TargetSystem& target, TRunMode mode, bool fastMode, std::size_t* lines,
               const std::string& item = "Windows - Temporary Files") {
  Queue queue;
  CountingEvents events;
  std::atomic<bool> fast{fastMode};
  TOptionsSetting options;
  options.WipeNumber = 1;
  NoPrompt prompt;
  TNoDesktop desktop;
  TCleanContext context{&target, "", &prompt, &desktop, &options};
  auto job = std::make_shared<TClearTaskThread>(context, queue, events, mode, std::vector<std::string>{item}, fast);
  job->Resume();
  queue.ProcessUntil([&] { return events.ended; });
  job->WaitFor();
  if (lines) *lines = events.lines;
  return events.total;
}

// Queue 0: the program's own TMessageQueue; 1: the batching queue above; 2: the same
// gathering calls for a millisecond after each wake-up.
int RunJob(TargetSystem& target, TRunMode mode, bool fastMode, std::size_t* lines, int queue = 0) {
  if (queue == 1) return RunJobWith<TBatchQueue>(target, mode, fastMode, lines);
  if (queue == 2) return RunJobWith<TPacedQueue>(target, mode, fastMode, lines);
  return RunJobWith<TMessageQueue>(target, mode, fastMode, lines);
}

struct TreeBench {
  memory::MemoryTarget target;
  fs::path temp;   // the target's temporary folder on the host
  fs::path other;  // beside the target, for the system's tools
  TreeBench() {
    temp = *target.HostPath(target.TempFolder());
    other = target.Folder() / "tools";
    fs::create_directories(other);
  }
};

void BM_TestTreeVsFind(benchmark::State& state) {
  const bool fastMode = state.range(0) != 0;
  const int queue = static_cast<int>(state.range(1));
  TreeBench b;
  double ours = 0, find = 0;
  int found = 0;
  std::size_t lines = 0;
  // A test changes nothing: both copies serve every run.
  CopyTree(b.temp / "tree");
  CopyTree(b.other / "tree");
  for (auto _ : state) {
    const double t = SecondsOf([&] { found = RunJob(b.target, TestRun, fastMode, &lines, queue); });
    find += SecondsOf([&] { Shell("find " + Quote(b.other / "tree") + " -type f -printf '%s\\n' >/dev/null"); });
    ours += t;
    state.SetIterationTime(t);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["files"] = found;
  state.counters["log_lines"] = static_cast<double>(lines);
  state.counters["test_s"] = ours / n;
  state.counters["find_s"] = find / n;
  state.counters["test_over_find"] = ours / find;
}
BENCHMARK(BM_TestTreeVsFind)->ArgNames({"fast", "queue"})->Args({1, 0})->Args({0, 0})->Args({0, 1})->Args({0, 2})->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

void BM_CleanTreeVsRm(benchmark::State& state) {
  const bool fastMode = state.range(0) != 0;
  const int queue = static_cast<int>(state.range(1));
  TreeBench b;
  double ours = 0, rm = 0;
  int found = 0;
  for (auto _ : state) {
    CopyTree(b.temp / "tree");
    CopyTree(b.other / "tree");
    const double t = SecondsOf([&] { found = RunJob(b.target, DirectClean, fastMode, nullptr, queue); });
    rm += SecondsOf([&] { Shell("rm -rf " + Quote(b.other / "tree")); });
    if (!fs::is_empty(b.temp)) std::abort();
    ours += t;
    state.SetIterationTime(t);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["files"] = found;
  state.counters["clean_s"] = ours / n;
  state.counters["rm_s"] = rm / n;
  state.counters["clean_over_rm"] = ours / rm;
}
// Every removal waits for a disk mounted with "discard": the other owner queues of the
// Test benchmark are measured in a Clean only when KESTROVE_BENCH_ALL_QUEUES is set.
void CleanArgs(benchmark::internal::Benchmark* b) {
  b->Args({1, 0})->Args({0, 0});
  if (std::getenv("KESTROVE_BENCH_ALL_QUEUES")) b->Args({0, 1})->Args({0, 2});
}
BENCHMARK(BM_CleanTreeVsRm)->ArgNames({"fast", "queue"})->Apply(CleanArgs)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

void BM_OverwriteVsShred(benchmark::State& state) {
  const std::size_t megabytes = EnvSize("KESTROVE_BENCH_OVERWRITE_MB", 128);
  const fs::path dir = fs::temp_directory_path() / "kestrove-bench-overwrite";
  fs::create_directories(dir);
  const fs::path file = dir / "big.bin";
  const auto size = static_cast<std::uint64_t>(megabytes) << 20;
  {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::posix_fallocate(fd, 0, static_cast<off_t>(size)) != 0) std::abort();
    ::close(fd);
  }
  UniqueFd folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
  double ours = 0, shred = 0;
  for (auto _ : state) {
    const double t = SecondsOf([&] {
      if (!OverwriteFileAt(*TFileOps::Posix(), folder.Get(), "big.bin", 3)) std::abort();
    });
    shred += SecondsOf([&] { Shell("shred -n 3 " + Quote(file)); });
    ours += t;
    state.SetIterationTime(t);
  }
  const double n = static_cast<double>(state.iterations());
  const double written = 3.0 * static_cast<double>(size) / (1 << 20);
  state.counters["overwrite_MBps"] = written * n / ours;
  state.counters["shred_MBps"] = written * n / shred;
  state.counters["throughput_over_shred"] = shred / ours;
  fs::remove_all(dir);
}
BENCHMARK(BM_OverwriteVsShred)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

const std::string kHistoryItem = "Internet Explorer - Visited URL History";

// An index of `visits` history entries as wininet's history container holds them: hash
// tables of 448 slots, one "URL " record of two blocks per visit.
std::string HistoryIndex(int visits) {
  testing::TIndexDatBuilder b;
  std::uint32_t table = 0;
  std::uint64_t time = 130849743202620000;
  for (int i = 0; i < visits; ++i) {
    if (i % 448 == 0) table = b.Table(29);
    const std::string url = "Visited: user@http://www.example" + std::to_string(i % 977) + ".com/page" +
                            std::to_string(i) + ".html";
    b.Entry(table, std::uint32_t(i % 448), b.Url(url, time += 10000000), 0x1000u + std::uint32_t(i) * 256u);
  }
  return b.Build();
}

void BM_UrlHistoryCleanVsTest(benchmark::State& state) {
  const int visits = static_cast<int>(state.range(0));
  memory::MemoryTarget target;
  const fs::path index = *target.HostPath(*target.ShellFolder("History") + "\\History.IE5\\index.dat");
  fs::create_directories(index.parent_path());
  const std::string bytes = HistoryIndex(visits);
  const auto lay = [&] { std::ofstream(index, std::ios::binary | std::ios::trunc) << bytes; };
  double clean = 0, test = 0;
  int found = 0, tested = 0;
  for (auto _ : state) {
    lay();
    test += SecondsOf([&] { tested = RunJobWith<TMessageQueue>(target, TestRun, false, nullptr, kHistoryItem); });
    const double t = SecondsOf([&] { found = RunJobWith<TMessageQueue>(target, DirectClean, false, nullptr, kHistoryItem); });
    clean += t;
    state.SetIterationTime(t);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["entries"] = found;
  state.counters["test_entries"] = tested;
  state.counters["clean_s"] = clean / n;
  state.counters["test_s"] = test / n;
  state.counters["clean_over_test"] = clean / test;
}
BENCHMARK(BM_UrlHistoryCleanVsTest)->ArgNames({"visits"})->Arg(5000)->Arg(20000)->Arg(100000)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

}  // namespace
