#include "cleaner/CleanerController.h"

#include <algorithm>

#include "cleaner/BrowserItems.h"

namespace kestrove {

// Carries one job's calls to the controller. Only the current job speaks to the page: the
// lines, progress and end of a job that was stopped, or replaced by a newer one, are dropped,
// so a stopped pass can neither leak into the next job nor start a removing pass.
class TCleanerController::JobEvents : public IClearTaskEvents {
 public:
  JobEvents(TCleanerController& owner, std::uint64_t generation, TRunMode mode)
      : owner_(owner), generation_(generation), mode_(mode) {}
  void AddLogLine(const std::string& line) override {
    if (current()) owner_.view_.AddLogLine(line);
  }
  void ScrollLogToEnd() override {
    if (current()) owner_.view_.ScrollLogToEnd();
  }
  void CleanProgress(int count) override {
    if (current()) owner_.WMCleanProgress(count);
  }
  void ItemDone(const TItemDone& item) override {
    if (current()) owner_.view_.ItemDone(item);
  }
  void CleanDone(int total) override {
    if (current()) owner_.WMCleanDone(total);
  }
  // What could not be removed stays a fact whether or not the job is still current.
  void RemovalsFailed(int count) override { owner_.FailedRemovals += count; }
  // A clean's counting pass stops on the same items: the last job's count is the one that holds.
  void ItemsStopped(int count) override { owner_.StoppedItems = count; }
  void JobEnded(bool completed, const std::string& error) override {
    ended_ = true;
    owner_.JobEnded(generation_, mode_, completed, error);
  }
  bool ended() const { return ended_; }

 private:
  bool current() const { return generation_ == owner_.current_; }

  TCleanerController& owner_;
  std::uint64_t generation_;
  TRunMode mode_;
  bool ended_ = false;
};

TCleanerController::TCleanerController(TCleanContext context, IOwnerThread& owner, ICleanerView& view,
                                       TOptionsSetting& options)
    : context_(context), owner_(owner), view_(view), options_(options), fastMode_(options.FastScan) {
  context_.Options = &options_;
}

TCleanerController::~TCleanerController() {
  // A stopped job may still be on its way out; none may outlive the window it reports to.
  for (auto& job : jobs_) job->Terminate();
  for (auto& job : jobs_) job->WaitFor();
}

bool TCleanerController::JobRunning() const {
  return std::any_of(events_.begin(), events_.end(), [](const auto& e) { return !e->ended(); });
}

// A job stopped by Cancel is still on its way out until its end has been handled here: it may
// be inside a removal, and a clean's end writes its registry changes. A second job beside it
// would remove files and change the registry at the same time, so none starts until then.
bool TCleanerController::StartRefused() const { return Busy || JobRunning(); }

void TCleanerController::SetTestCaption(const std::string& caption) {
  testCaption_ = caption;
  view_.SetTestCaption(caption);
}

void TCleanerController::SetProgressCaption(const std::string& caption, bool shown) {
  progressCaption_ = shown ? caption : std::string();
  view_.SetProgressCaption(caption, shown);
}

void TCleanerController::SetProgressPosition(int position) {
  progressPosition_ = position;
  view_.SetProgressPosition(position);
}

void TCleanerController::SetFastMode(bool on) {
  options_.FastScan = on;
  fastMode_.store(on);
}

void TCleanerController::bTestClick() {
  if (testCaption_ == "Cancel") {
    Stop();
    return;
  }
  if (StartRefused()) return;  // a start request while busy changes nothing
  RunMode = TestRun;
  Start();
}

void TCleanerController::bCleanClick() {
  if (StartRefused()) return;
  CountedTotal = 0;
  RunMode = CleanRequest;
  Start();
}

void TCleanerController::StartDirectClean() {
  if (StartRefused()) return;
  RunMode = DirectClean;
  Start();
}

void TCleanerController::cbFastModeClick(bool checked) { SetFastMode(checked); }

void TCleanerController::Start() {
  SelectedItems = view_.CollectSelection();
  if (SelectedItems.empty()) {
    if (RunMode != DirectClean && context_.Prompt)
      context_.Prompt->Ask({kProductName, kNoSelectionMessage, TMsgButtons::Ok, TMsgIcon::Information});
    return;
  }
  if (StartRefused()) return;
  if (RunMode == DirectClean || RunMode == CleanRequest) {
    // A Firefox running on the target holds its profile's database open: its visits could not
    // be emptied, and the run would end half-way.
    if (view_.FirefoxCategoryChecked() &&
        ((context_.Desktop && (context_.Desktop->TopLevelWindowOfClassExists("MozillaUIWindowClass") ||
                               context_.Desktop->TopLevelWindowOfClassExists("MozillaWindowClass"))) ||
         (context_.Target && FirefoxOfTargetRunning(*context_.Target)))) {
      if (context_.Prompt)
        context_.Prompt->Ask({kProductName, kCloseFirefoxMessage, TMsgButtons::Ok, TMsgIcon::Information});
      return;
    }
    // Wine keeps the registry of a running system in memory and would undo our changes:
    // say so now instead of failing half-way through the clean.
    if (context_.Target) {
      if (auto reason = context_.Target->Registry()->WriteBlockReason()) {
        if (context_.Prompt) context_.Prompt->Ask({kProductName, *reason, TMsgButtons::Ok, TMsgIcon::Warning});
        return;
      }
    }
    Busy = true;
    if (options_.IsAskBeforeClear && !SkipConfirm && !view_.ConfirmClean()) {
      Busy = false;
      return;
    }
  }
  Busy = true;
  SetTestCaption("Cancel");
  view_.SetProgressVisible(true);
  if (RunMode == CleanRequest) {
    savedLogHidden_ = view_.LogHidden();
    view_.SetLogHidden(true);
    SetProgressCaption(kPrepareToClean, true);
    savedFastMode_ = options_.FastScan;
    SetFastMode(true);
    countingPass_ = true;
    RunMode = TestRun;
  } else {
    SetProgressPosition(0);
    SetProgressCaption(progressCaption_, false);
    if (RunMode == CleanAfterCount) SetProgressCaption("", true);
  }
  view_.ClearLog();

  jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(),
                             [](const auto& j) {
                               if (!j->Finished()) return false;
                               j->WaitFor();
                               return true;
                             }),
              jobs_.end());
  events_.erase(std::remove_if(events_.begin(), events_.end(), [](const auto& e) { return e->ended(); }),
                events_.end());
  current_ = ++generation_;
  events_.push_back(std::make_unique<JobEvents>(*this, current_, RunMode));
  job_ = std::make_shared<TClearTaskThread>(context_, owner_, *events_.back(), RunMode, SelectedItems, fastMode_);
  job_->Dispatcher = Dispatcher;
  jobs_.push_back(job_);
  job_->Resume();

  ProgressStep = RunMode == TestRun ? 50 : 20;
  if (RunMode == TestRun && !view_.LogHidden()) view_.SetTimerEnabled(true);
}

void TCleanerController::RestoreAfterCountingPass() {
  view_.SetLogHidden(savedLogHidden_);
  SetFastMode(savedFastMode_);
  countingPass_ = false;
}

void TCleanerController::Stop() {
  SetTestCaption("Test");
  if (job_) job_->Terminate();
  current_ = 0;  // whatever the stopped job still sends is dropped
  view_.SetTimerEnabled(false);
  Busy = false;
  if (countingPass_) RestoreAfterCountingPass();
}

void TCleanerController::Timer1Timer(bool pageVisible) {
  if (pageVisible) {
    int position = progressPosition_ + ProgressStep;
    if (position > 999) position = 0;
    SetProgressPosition(position);
  }
  if (progressCaption_ == kFinished) view_.SetTimerEnabled(false);
}

void TCleanerController::WMCleanProgress(int wParam) {
  if (RunMode == CleanAfterCount && CountedTotal > 0)
    SetProgressPosition(static_cast<int>(static_cast<long long>(wParam) * 1000 / CountedTotal));
}

void TCleanerController::WMCleanDone(int wParam) {
  if (progressCaption_ == kPrepareToClean) {
    CountedTotal = wParam;
    view_.ClearLog();
    // The removing pass follows once the counting job has ended (its end comes after this
    // message), so that the two never run side by side.
    counted_ = current_;
    return;
  }
  SetTestCaption("Test");
  view_.FitLogWidth();
  view_.ScrollLogToEnd();
  view_.SetTimerEnabled(false);
  SetProgressPosition(1000);
  SetProgressCaption(kFinished, true);
  Busy = false;
}

void TCleanerController::WMCleanCounted() {
  RestoreAfterCountingPass();
  RunMode = CleanAfterCount;
  Busy = false;
  Start();
}

void TCleanerController::JobEnded(std::uint64_t generation, TRunMode mode, bool completed, const std::string& error) {
  std::string failure = error;
  // A clean's registry changes are written when its run ends, whether it went through
  // its list or stopped early: what was removed from the files is then also gone from
  // the registry files.
  if (mode != TestRun && context_.Target) {
    try {
      context_.Target->Registry()->Commit();
    } catch (const std::exception& e) {
      failure = failure.empty() ? e.what() : failure + "\n" + e.what();
    }
  }
  if (generation == counted_) {
    counted_ = 0;
    // A Stop between the count and here ends the Clean: no removing pass.
    if (generation == current_)
      owner_.Post([this, generation] {
        if (generation == current_) WMCleanCounted();
      });
  }
  if (!completed && generation == current_ && !error.empty()) {
    // The run ended on an error: leave the page usable again instead of stuck at "Cancel".
    SetTestCaption("Test");
    view_.SetTimerEnabled(false);
    Busy = false;
    if (countingPass_) RestoreAfterCountingPass();
  }
  if (!failure.empty()) view_.JobFailed(failure);
}

}  // namespace kestrove
