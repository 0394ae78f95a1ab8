// The cleaning job: a worker that goes through a list of clean items in test mode (lists
// and counts what would be removed) or clean mode (removes it), logging as it goes.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/OptionsSetting.h"
#include "app/OwnerThread.h"
#include "app/Prompt.h"
#include "platform/DesktopServices.h"
#include "platform/TargetSystem.h"

namespace kestrove {

// What the current or next job does.
enum TRunMode : int {
  CleanAfterCount = 0,  // removes; second pass of a Clean, progress against the count
  DirectClean = 1,      // removes without a counting pass (schedule, automatic start)
  TestRun = 2,          // lists only
  CleanRequest = 3,     // Clean button: a hidden counting pass, then CleanAfterCount
};

// Window messages of the cleaner (posted to the owner; lParam always 0).
inline constexpr unsigned WM_CLEANPROGRESS = 0x5408;  // wParam: running count
inline constexpr unsigned WM_CLEANDONE = 0x5409;      // wParam: final count
inline constexpr unsigned WM_CLEANCOUNTED = 0x5430;   // the window to itself: start removing

inline constexpr int kSeparatorLength = 107;

// An item the job has gone through (not one it was stopped in), with what it found in a test
// or removed in a clean.
struct TItemDone {
  int Index = 0;  // in the job's list, from 0
  int Items = 0;  // the length of the list
  std::string Name;
  int Entries = 0;
  std::uint64_t Bytes = 0;
};

// Where the job's log lines and messages go. Every call comes from the worker thread and is
// carried to the owner thread in order (the implementation posts; see TClearTaskThread).
class IClearTaskEvents {
 public:
  virtual ~IClearTaskEvents() = default;
  // Owner thread: the log list.
  virtual void AddLogLine(const std::string& line) = 0;
  virtual void ScrollLogToEnd() = 0;
  // Owner thread: the messages.
  virtual void CleanProgress(int count) = 0;  // WM_CLEANPROGRESS
  virtual void CleanDone(int total) = 0;      // WM_CLEANDONE
  // Owner thread: after an item's summary lines.
  virtual void ItemDone(const TItemDone& item) { (void)item; }
  // Entries the job tried and failed to remove; sent once, before JobEnded, when any failed.
  virtual void RemovalsFailed(int count) { (void)count; }
  // Items that stopped before removing anything because what they rely on could not be
  // trusted (a damaged keep list, say); sent once, before JobEnded, 0 when none did.
  virtual void ItemsStopped(int count) { (void)count; }
  // The worker has ended: after CleanDone, after a stop, or because an item operation
  // failed (`error` says how). Always the last call of a job.
  virtual void JobEnded(bool completed, const std::string& error) = 0;
};

// Everything an item operation may use besides the job itself.
struct TCleanContext {
  TargetSystem* Target = nullptr;
  std::string ProgramFolder;  // with its trailing separator
  IPrompt* Prompt = nullptr;
  IDesktopServices* Desktop = nullptr;
  const TOptionsSetting* Options = nullptr;  // fields a job reads do not change while it runs
};

class TClearTaskThread;
using TItemOperation = std::function<void(TClearTaskThread&)>;

// What kind of trace a place holds, as a describing run names it.
enum class TTraceKind {
  RegistryKey,     // a key with everything below it
  RegistryValues,  // one value of a key (Detail), or every value and subkey (Detail empty)
  Files,           // the files matching a pattern (Detail) in a folder, or also below it (Recursive)
  FolderContents,  // everything in a folder but the files named Detail
  File,            // one file; Detail says when it goes, when not at once
  DatabaseRows,    // every row of the table Detail in a database file
  UrlCacheEntries, // the entries of a URL cache index whose addresses start with Detail
  Clipboard,       // what the clipboard holds
};

// One place an item's operation reaches.
struct TTracePlace {
  TTraceKind Kind = TTraceKind::File;
  std::string Where;  // a registry key with its root's name, or a Windows path
  std::string Detail;
  bool Recursive = false;
  bool operator==(const TTracePlace&) const = default;
};

class TClearTaskThread : public std::enable_shared_from_this<TClearTaskThread> {
 public:
  // `fastMode` mirrors the Fast Mode setting; the window may change it while the job runs.
  TClearTaskThread(TCleanContext context, IOwnerThread& owner, IClearTaskEvents& events, TRunMode mode,
                   std::vector<std::string> itemNames, const std::atomic<bool>& fastMode);
  ~TClearTaskThread();

  // Starts the worker. The job keeps itself alive until its run has ended.
  void Resume();
  // Asks the job to stop; it ends at its next check.
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // Waits for the worker to end (used when the owner goes away).
  void WaitFor();
  bool Finished() const { return finished_.load(); }

  // --- Services for item operations (worker thread) ---
  bool IsTestMode() const { return mode_ == TestRun; }
  TRunMode Mode() const { return mode_; }
  bool FastMode() const { return fastMode_.load(); }
  // A detail line with scroll pacing: step 0 scrolls at once; otherwise every `step` lines
  // (half as many in clean mode).
  void LogDetail(const std::string& line, int step);
  // A line without pacing.
  void LogLine(const std::string& line);
  // After each entry found: a progress message at most every 2 seconds.
  void ProgressPacing();
  // A removal that failed with errno `error` (read-only medium, no permission, ...): counted
  // for the end of the clean, unless the entry was already gone. Returns false, so that a
  // removal can end in `return unlink(...) == 0 || job.RemovalFailed(errno);`.
  bool RemovalFailed(int error) {
    if (error != ENOENT) ++failures_;
    return false;
  }
  // An item that stopped on its own before removing anything (its log line says why): the
  // job still goes on, but does not end as a clean that did all it was asked.
  void ItemStopped() { ++itemsStopped_; }
  TCleanContext& Context() { return context_; }
  IPrompt& Prompt() { return *context_.Prompt; }
  // Runs `call` on the owner thread while the worker waits.
  void Synchronize(const std::function<void()>& call) { owner_.Send(call); }
  // A describing run (a test run, see DescribeItem) only names the places its item would
  // reach. Describe notes `place` in such a run and returns true: the caller then goes no
  // further, neither removing nor listing nor opening anything there. In any other run it
  // returns false.
  bool Describing() const { return places_ != nullptr; }
  bool Describe(TTracePlace place);
  void DescribeInto(std::vector<TTracePlace>* places) { places_ = places; }

  // How item names find their operations; tests put their own operations here.
  std::function<TItemOperation(const std::string&)> Dispatcher;

  // --- The job's state ---
  std::vector<std::string> ItemNames;
  std::string LinePrefix;   // "Test: " or "Clean: "
  std::string RemovedWord;  // "will be removed" or "to be removed"
  int CurrentIndex = -1;
  int ItemCount = 0;
  std::uint64_t ItemBytes = 0;
  std::string ItemSizeText = "0";
  std::string WorkPath;
  std::chrono::steady_clock::time_point LastProgressTime;
  int LinesSinceScroll = 0;
  int TotalCount = 0;
  std::uint64_t TotalBytes = 0;

  // The run itself; Resume() calls it on the worker thread. Public so that tests can run a
  // job on their own thread.
  void Execute();

 private:
  void RunItem(const std::string& name);
  void ItemReset();
  void ItemSummary();

  TCleanContext context_;
  IOwnerThread& owner_;
  IClearTaskEvents& events_;
  const TRunMode mode_;
  const std::atomic<bool>& fastMode_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  int failures_ = 0;  // worker only
  int itemsStopped_ = 0;  // worker only
  std::vector<TTracePlace>* places_ = nullptr;
  std::thread thread_;
};

// The operation an item name is dispatched to: names containing "Custom Lists -" run
// "Custom.dat", the built-in names their operations, every other name "qvtk.dat".
TItemOperation DispatchItem(const std::string& itemName);
// Every item name with an operation of its own, in table order.
const std::vector<std::string>& BuiltInItemNames();

// The places the operation of `itemName` reaches on the context's target, in the order it
// reaches them, each once. Nothing on the target is changed, listed or opened; what the
// operation reads to find its places (shell folders, profile folders, the definition
// files) is read. The context's prompt and desktop are not used.
std::vector<TTracePlace> DescribeItem(TCleanContext context, const std::string& itemName);
// A place as a user reads it: what is removed ("the files *.log in") and where (a folder,
// a file or a registry key; empty for the clipboard).
struct TTraceWords {
  std::string What;
  std::string Where;
};
TTraceWords TracePlaceWords(const TTracePlace& place);

// The totals line at the end of a run.
std::string TotalsLine(bool testMode, int totalCount, std::uint64_t totalBytes);

}  // namespace kestrove
