#include "regscan/ScanController.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace kestrove {

// Carries one worker's calls to the owner thread, in the order made. Only the current
// worker speaks to the page: what a cancelled or replaced worker still sends is dropped, so
// no row arrives after a Cancel. A run of key texts with nothing between them reaches the
// page as its latest text: the worker names every key it opens, far faster than anyone
// reads them. Rows travel in batches (with the latest key text after them), handed over
// when a batch is full, when it has waited long enough, or before any other call: waking
// the owner thread for every row would cost more than finding the row.
class TScanController::JobEvents : public IScanEvents, public std::enable_shared_from_this<JobEvents> {
 public:
  JobEvents(std::shared_ptr<TScanController*> controller, IOwnerThread& thread, std::uint64_t generation)
      : controller_(std::move(controller)), thread_(thread), generation_(generation) {}

  void OnTitle(const std::string& text) override {
    Post([text](TScanController& c) { c.view_.SetScanTitle(text); });
  }
  void OnKeyMemo(const std::string& text) override {
    if (!batch_.rows.empty()) {
      batch_.memo = text;
      batch_.hasMemo = true;
      if (Clock::now() - batchStart_ >= kBatchWait) FlushRows();
      return;
    }
    std::shared_ptr<std::string> slot;
    {
      std::lock_guard lock(mu_);
      if (memo_) {
        *memo_ = text;
        return;
      }
      slot = memo_ = std::make_shared<std::string>(text);
      ++posted_;
    }
    Deliver([self = shared_from_this(), slot] {
      std::string latest;
      {
        std::lock_guard lock(self->mu_);
        latest = *slot;
        if (self->memo_ == slot) self->memo_.reset();
      }
      self->Ran();
      if (TScanController* c = self->Current()) c->view_.SetMemoText(latest);
    });
  }
  void OnRow(const TScanResult& row) override {
    if (batch_.rows.empty()) batchStart_ = Clock::now();
    batch_.rows.push_back(row);
    if (batch_.rows.size() >= kBatchRows || Clock::now() - batchStart_ >= kBatchWait) FlushRows();
  }
  void OnScanStep() override {
    Post([](TScanController& c) { c.WMScanStep(); });
  }
  void OnScanDone() override {
    Post([](TScanController& c) { c.WMScanDone(); });
  }
  // Before each section the worker waits until the page has taken what it sent, so that a
  // busy window is never buried under a whole hive's rows.
  void OnSync(const std::atomic<bool>& terminated) override {
    FlushRows();
    std::unique_lock lock(mu_);
    const std::uint64_t ticket = posted_;
    // Calls dropped by a window that is going away never run: the stop flag ends the wait.
    while (ran_ < ticket && !terminated.load()) cv_.wait_for(lock, std::chrono::milliseconds(20));
  }
  // Always delivered, current or not: the controller counts the workers still to end.
  void OnScanEnded(bool completed, const std::string& error) override {
    // Rows still held when the worker was stopped are never shown: nothing comes after a stop.
    if (completed || !error.empty())
      FlushRows();
    else
      batch_ = TRowBatch{};
    {
      std::lock_guard lock(mu_);
      memo_.reset();
      ++posted_;
    }
    Deliver([self = shared_from_this(), completed, error] {
      self->Ran();
      if (TScanController* c = *self->controller_) c->JobEnded(self->generation_, completed, error);
    });
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kBatchRows = 256;
  static constexpr auto kBatchWait = std::chrono::milliseconds(50);

  // Rows found and not yet handed over (worker thread only), then the key text that came
  // after them.
  struct TRowBatch {
    std::vector<TScanResult> rows;
    std::string memo;
    bool hasMemo = false;
  };

  void FlushRows() {
    if (batch_.rows.empty()) return;
    auto batch = std::make_shared<TRowBatch>(std::move(batch_));
    batch_ = TRowBatch{};
    {
      std::lock_guard lock(mu_);
      memo_.reset();
      ++posted_;
    }
    // A Cancel may come from the view while it takes a row: the rest of the batch is dropped.
    Deliver([self = shared_from_this(), batch] {
      self->Ran();
      for (const TScanResult& row : batch->rows) {
        TScanController* c = self->Current();
        if (!c) return;
        c->view_.AddRow(row);
      }
      if (TScanController* c = self->Current(); c && batch->hasMemo) c->view_.SetMemoText(batch->memo);
    });
  }

  void Post(std::function<void(TScanController&)> call) {
    if (!batch_.rows.empty()) FlushRows();  // rows found earlier come first
    {
      std::lock_guard lock(mu_);
      memo_.reset();  // a later key text must come after this call
      ++posted_;
    }
    Deliver([self = shared_from_this(), call = std::move(call)] {
      self->Ran();
      if (TScanController* c = self->Current()) call(*c);
    });
  }
  void Deliver(std::function<void()> call) { thread_.Post(std::move(call)); }
  void Ran() {
    {
      std::lock_guard lock(mu_);
      ++ran_;
    }
    cv_.notify_all();
  }
  // Owner thread: the controller when this worker is the one it listens to.
  TScanController* Current() const {
    TScanController* c = *controller_;
    return c && c->current_ == generation_ ? c : nullptr;
  }

  std::shared_ptr<TScanController*> controller_;
  IOwnerThread& thread_;
  const std::uint64_t generation_;
  std::mutex mu_;
  std::condition_variable cv_;
  TRowBatch batch_;
  Clock::time_point batchStart_;
  std::shared_ptr<std::string> memo_;  // the key text posted last, while nothing followed it
  std::uint64_t posted_ = 0;           // calls posted (merged key texts count once)
  std::uint64_t ran_ = 0;              // calls the owner thread has taken
};

TScanController::TScanController(TargetSystem& target, IOwnerThread& owner, IScanView& view,
                                 TOptionsSetting& options, IPrompt* prompt)
    : target_(target),
      owner_(owner),
      view_(view),
      options_(options),
      prompt_(prompt),
      self_(std::make_shared<TScanController*>(this)) {}

TScanController::~TScanController() {
  ReleaseWorker();
  *self_ = nullptr;
}

void TScanController::SetScanCaption(const std::string& caption) {
  scanCaption_ = caption;
  view_.SetScanCaption(caption);
}

void TScanController::SetProgressPosition(int position) {
  progressPosition_ = position;
  view_.SetProgressPosition(position);
}

void TScanController::bScanClick() {
  if (scanCaption_ == kScanCaption)
    StartScan();
  else
    CancelScan();
}

void TScanController::StartScan() {
  // A worker stopped by an earlier Cancel has ended by now or ends at its next step.
  ReleaseWorker();
  // 1.
  view_.SetRestoreVisible(false);
  view_.SetMemoVisible(true);
  view_.SetProgressCaption("", false);
  // 2.
  Selection = view_.CollectSections();
  // 3.
  if (Selection.empty()) {
    if (!SkipConfirm && prompt_)
      prompt_->Ask({kProductName, kNoScanSectionMessage, TMsgButtons::Ok, TMsgIcon::Information});
    view_.SetRestoreVisible(true);
    view_.SetMemoVisible(false);
    return;
  }
  // 4.
  view_.ClearRows();
  ApplyIgnoreLists();
  // 5.
  SetScanCaption(kCancelScanCaption);
  view_.ShowProgress();
  view_.SetMemoText("");
  view_.SetMemoVisible(true);
  SetProgressPosition(0);
  // 6.
  ScanStep = ScanStepFor(Selection);
  // The registry is read again if another program changed it; the rows are of that view.
  try {
    rowsView_ = target_.RefreshRegistry();
  } catch (const std::exception&) {
    rowsView_ = std::uint64_t{0};  // a hive that cannot be read now: no Fix from this scan
  }
  // 7.
  current_ = ++generation_;
  events_ = std::make_shared<JobEvents>(self_, owner_, current_);
  worker_ = std::make_unique<TScanTaskThread>(target_, *events_, options_.IncludeRemoveMedia);
  worker_->SectionCodes = Selection;
  // 8.
  if (!options_.IncludeRemoveMedia) {
    view_.SetProgressCaption(kScanPreparing, true);
    worker_->ProbeFloppyDrives();
    view_.SetProgressCaption(kScanPreparing, false);
  }
  // 9.
  scanning_ = true;
  view_.SetTimerEnabled(true);
  worker_->Resume();
}

void TScanController::CancelScan() {
  // Whatever the worker has sent and the page has not taken yet is dropped, and everything
  // after: no row arrives after this point.
  current_ = 0;
  if (worker_) worker_->Terminate();
  if (view_.RowCount() > 0) view_.RemoveLastRow();
  view_.SetRestoreVisible(true);
  view_.SetMemoVisible(false);
  WMScanDone();
}

void TScanController::ReleaseWorker() {
  if (!worker_) return;
  worker_->Terminate();
  worker_.reset();  // waits for the thread
}

void TScanController::Timer1Timer(bool pageVisible) {
  // The bar shows activity, not a share of the work.
  if (!scanning_ || !pageVisible) return;
  int position = progressPosition_ + ScanStep;
  if (position > 1000) position = 0;
  SetProgressPosition(position);
}

void TScanController::WMScanStep() { UpdateScanStatus(); }

void TScanController::WMScanDone() {
  // 1.
  scanning_ = false;
  view_.SetTimerEnabled(false);
  SetScanCaption(kScanCaption);
  view_.SetScanTitle(kScanIdleTitle);
  view_.SetMemoVisible(false);
  // 2.
  SetProgressPosition(1000);
  view_.SetProgressCaption(kScanFinished, true);
  // 3.
  view_.SelectAllRows();
  // 4.
  if (view_.RowCount() > 0) ApplyIgnoreLists();
  // 5.
  view_.SetRestoreVisible(true);
  view_.SetMemoVisible(false);
  UpdateScanStatus();
  // 6. The "/Clear" run repairs everything found; its window closes once the scan has ended.
  if (SkipConfirm) bFixErrorsClick();
}

TFixResult TScanController::bFixErrorsClick() {
  // Without a way to ask, the backup folder question is answered No: nothing is created.
  class TNoAnswers : public IPrompt {
    TMsgResult Ask(const TMessageRequest& r) override {
      return r.Buttons == TMsgButtons::YesNo || r.Buttons == TMsgButtons::YesNoCancel ? TMsgResult::No
                                                                                        : TMsgResult::Ok;
    }
  } noAnswers;
  struct TFixingFlag {
    bool& flag;
    explicit TFixingFlag(bool& f) : flag(f) { flag = true; }
    ~TFixingFlag() { flag = false; }
  } fixing(fixing_);
  std::vector<TScanResult> rows = view_.Rows();
  TFixSettings settings;
  settings.BackupFolder = options_.OutputDirectory;
  settings.RestorePoint = options_.RestorePoint;
  settings.WindowsVersion = target_.WindowsVersion();
  // Rows that no scan found (none yet) are taken as they are.
  settings.RowsView = rowsView_;
  TRegistryFix fix(target_, prompt_ ? *prompt_ : noAnswers, RestorePointDialog);
  const TFixResult result = fix.Run(rows, settings);
  lastFix_ = result;
  if (result.Outcome == TFixOutcome::Fixed || result.Outcome == TFixOutcome::StoppedAtRow) view_.SetRows(rows);
  if (result.Outcome == TFixOutcome::Fixed) {
    // 6.
    UpdateScanStatus();
    view_.SetStatusText(kFixFinished);
    ApplyIgnoreLists();
  }
  return result;
}

void TScanController::JobEnded(std::uint64_t generation, bool completed, const std::string& error) {
  if (generation == generation_) ended_ = generation;
  if (generation == current_) view_.ScanEnded(completed, error);
}

void TScanController::ApplyIgnoreLists() {
  // 1.
  if (view_.RowCount() == 0) {
    view_.SetDefaultColumnWidths();
    return;
  }
  view_.FitColumnsToContents();
  // 2-5. The filter only removes rows, so the list is rebuilt only when it did. A list of a
  // few hundred thousand rows is not copied just to be looked at.
  const TIgnoreFilter filter(options_.IgnoreValues, options_.IgnoreKeys);
  std::vector<bool> removed;
  removed.reserve(view_.RowCount());
  bool any = false;
  view_.ForEachRow([&](const TScanResult& row) {
    removed.push_back(filter.Ignores(row));
    any = any || removed.back();
  });
  if (any) view_.KeepRows(removed);
}

// Runs at the end of every section: counted in place, as the list may hold hundreds of
// thousands of rows by then.
void TScanController::UpdateScanStatus() {
  view_.SetStatusText(ScanStatusText(view_.RowCount(), view_.SelectedRowCount()));
}

void IScanView::KeepRows(const std::vector<bool>& removed) {
  const std::vector<TScanResult> rows = Rows();
  std::vector<TScanResult> kept;
  kept.reserve(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (i >= removed.size() || !removed[i]) kept.push_back(rows[i]);
  SetRows(kept);
}

}  // namespace kestrove
