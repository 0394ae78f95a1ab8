// The cleaner page's logic without the widgets: run modes, the busy flag, the counting pass
// of a Clean, start, stop and the job's messages. The window and the command-line tool each
// provide the view; the controller runs on the view's (owner) thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cleaner/ClearTask.h"

namespace kestrove {

inline constexpr const char* kNoSelectionMessage = "Please select the sections which you want to scan from the left list.";
inline constexpr const char* kCloseFirefoxMessage = "Please close Mozilla Firefox first!";
inline constexpr const char* kPrepareToClean = "Prepare to clean...";
inline constexpr const char* kFinished = "Finished!";

class ICleanerView {
 public:
  virtual ~ICleanerView() = default;
  // The tree: checked item names in tree order, and whether the Firefox category is checked.
  virtual std::vector<std::string> CollectSelection() = 0;
  virtual bool FirefoxCategoryChecked() = 0;
  // The confirmation dialog; true only when the user pressed OK.
  virtual bool ConfirmClean() = 0;
  // bTest's caption: "Test" or "Cancel".
  virtual void SetTestCaption(const std::string& caption) = 0;
  // ProgressBar1: position 0 to 1000, caption shown or hidden.
  virtual void SetProgressVisible(bool visible) = 0;
  virtual void SetProgressPosition(int position) = 0;
  // An empty caption that is shown means the percentage of the position.
  virtual void SetProgressCaption(const std::string& caption, bool shown) = 0;
  // lMain. A hidden log (font in the background colour) is how a counting pass stays unseen.
  virtual void SetLogHidden(bool hidden) = 0;
  virtual bool LogHidden() = 0;
  virtual void ClearLog() = 0;
  virtual void AddLogLine(const std::string& line) = 0;
  virtual void ScrollLogToEnd() = 0;
  // At the end of a run: the horizontal extent becomes the widest line + 10 pixels.
  virtual void FitLogWidth() = 0;
  // An item of the current job has been gone through. The window's bar does not follow the
  // items (a Test's bar is Timer1's animation); the command line's does.
  virtual void ItemDone(const TItemDone& item) { (void)item; }
  // Timer1, the idle animation of the bar.
  virtual void SetTimerEnabled(bool enabled) = 0;
  // A job ended with an error, or its changes could not be saved.
  virtual void JobFailed(const std::string& message) = 0;
};

class TCleanerController {
 public:
  TCleanerController(TCleanContext context, IOwnerThread& owner, ICleanerView& view, TOptionsSetting& options);
  ~TCleanerController();  // stops a running job and waits for it

  // bTest: a test, or Stop while it reads "Cancel".
  void bTestClick();
  // bClean: a counting pass, then the removing pass.
  void bCleanClick();
  // The schedule, the automatic start and the session end: RunMode := DirectClean, Start.
  void StartDirectClean();
  void cbFastModeClick(bool checked);
  void Start();
  void Stop();
  // Timer1 (every 500 ms while enabled); `pageVisible`: the cleaner page is shown.
  void Timer1Timer(bool pageVisible);

  // The job's messages, on the owner thread.
  void WMCleanProgress(int wParam);
  void WMCleanDone(int wParam);
  void WMCleanCounted();

  // How the jobs find item operations (tests put their own here); empty: the real ones.
  std::function<TItemOperation(const std::string&)> Dispatcher;

  // State, for the window and tests.
  TRunMode RunMode = TestRun;
  bool Busy = false;
  bool SkipConfirm = false;
  int CountedTotal = 0;
  int ProgressStep = 0;
  std::vector<std::string> SelectedItems;
  // Entries the jobs failed to remove since the controller was made.
  int FailedRemovals = 0;
  // Items that stopped on their own, removing nothing, in the last job that ended.
  int StoppedItems = 0;
  const std::string& TestCaption() const { return testCaption_; }
  const std::string& ProgressCaption() const { return progressCaption_; }
  int ProgressPosition() const { return progressPosition_; }
  // A job started (a stopped one too) whose end has not been handled here yet: until then
  // its last calls, such as the commit of a clean's registry changes, are still to come.
  bool JobRunning() const;
  // Mirrors the Fast Mode setting for the worker, which reads it while it runs.
  const std::atomic<bool>& FastModeFlag() const { return fastMode_; }

 private:
  class JobEvents;
  void SetTestCaption(const std::string& caption);
  void SetProgressCaption(const std::string& caption, bool shown);
  void SetProgressPosition(int position);
  void SetFastMode(bool on);
  void RestoreAfterCountingPass();
  void JobEnded(std::uint64_t generation, TRunMode mode, bool completed, const std::string& error);
  // Busy, or the last job has not ended yet: a start request changes nothing.
  bool StartRefused() const;

  TCleanContext context_;
  IOwnerThread& owner_;
  ICleanerView& view_;
  TOptionsSetting& options_;
  std::atomic<bool> fastMode_;
  bool savedLogHidden_ = false;
  bool savedFastMode_ = true;
  bool countingPass_ = false;
  std::string testCaption_ = "Test";
  std::string progressCaption_;
  int progressPosition_ = 0;
  std::uint64_t generation_ = 0;  // of the last job started
  std::uint64_t current_ = 0;     // of the job the page listens to; 0 after a stop
  std::uint64_t counted_ = 0;     // of the counting pass whose count has come, until it ends
  std::shared_ptr<TClearTaskThread> job_;
  // Every job started and not yet seen to end: the owner outlives them all.
  std::vector<std::shared_ptr<TClearTaskThread>> jobs_;
  std::vector<std::unique_ptr<JobEvents>> events_;  // one per job, kept until it has ended
};

}  // namespace kestrove
