// The Registry page's scan without the widgets: start, cancel, the worker's rows and
// messages, the end-of-scan steps, the ignore lists and the status text. The window and the
// command-line tool each provide the view; the controller runs on the view's (owner) thread.
// The worker's calls reach that thread through IOwnerThread, as the cleaner's job's do.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/OptionsSetting.h"
#include "app/OwnerThread.h"
#include "app/Prompt.h"
#include "platform/TargetSystem.h"
#include "regscan/RegistryFix.h"
#include "regscan/ScanTaskThread.h"
#include "regscan/ScanTypes.h"

namespace kestrove {

inline constexpr const char* kScanCaption = "Scan";
inline constexpr const char* kCancelScanCaption = "Cancel";
inline constexpr const char* kScanIdleTitle = "Select the sections to scan";
inline constexpr const char* kScanPreparing = "Prepairing...";
inline constexpr const char* kScanFinished = "Finished!";
inline constexpr const char* kNoScanSectionMessage =
    "Please select the sections which you want to scan from the left list.";

class IScanView {
 public:
  virtual ~IScanView() = default;
  // tvRegistry: the codes of the ticked nodes, depth-first (node, children, next sibling).
  virtual std::vector<std::string> CollectSections() = 0;
  // bScan's caption: "Scan" or "Cancel".
  virtual void SetScanCaption(const std::string& caption) = 0;
  virtual void SetRestoreVisible(bool visible) = 0;  // bRestoreRegistry
  // Memo1: the key or file being examined.
  virtual void SetMemoVisible(bool visible) = 0;
  virtual void SetMemoText(const std::string& text) = 0;
  // lScanTitle: the running section's caption.
  virtual void SetScanTitle(const std::string& text) = 0;
  // ProgressBar2: shown when hidden; position 0 to 1000; a caption that is shown is
  // painted at once (the floppy probe after "Prepairing..." holds the thread).
  virtual void ShowProgress() = 0;
  virtual void SetProgressPosition(int position) = 0;
  virtual void SetProgressCaption(const std::string& caption, bool shown) = 0;
  // lvRegistryData: a row comes in at the end and is scrolled into view.
  virtual std::size_t RowCount() = 0;
  virtual std::vector<TScanResult> Rows() = 0;
  // Every row in order; a view that keeps its rows itself walks them without a copy.
  virtual void ForEachRow(const std::function<void(const TScanResult&)>& visit) {
    for (const TScanResult& row : Rows()) visit(row);
  }
  // How many rows are selected; a view that keeps its rows itself counts them in place.
  virtual std::size_t SelectedRowCount() {
    std::size_t selected = 0;
    ForEachRow([&](const TScanResult& row) { selected += row.Selected ? 1 : 0; });
    return selected;
  }
  // Keeps the rows whose flag in `removed` is false, in their order.
  virtual void KeepRows(const std::vector<bool>& removed);
  virtual void SetRows(const std::vector<TScanResult>& rows) = 0;
  virtual void ClearRows() = 0;
  virtual void AddRow(const TScanResult& row) = 0;
  virtual void RemoveLastRow() = 0;
  virtual void SelectAllRows() = 0;
  // The column widths of an empty list, or every column fitted to its contents.
  virtual void SetDefaultColumnWidths() = 0;
  virtual void FitColumnsToContents() = 0;
  virtual void SetStatusText(const std::string& text) = 0;  // lStatusBar
  // Timer1, the idle animation of the bar.
  virtual void SetTimerEnabled(bool enabled) = 0;
  // The worker of the scan shown has made its last call: `completed` after the end-of-scan
  // steps; otherwise a section raised `error`. Not given for a cancelled scan.
  virtual void ScanEnded(bool completed, const std::string& error) = 0;
};

class TScanController {
 public:
  // The target, the thread, the view and the options outlive the controller; `prompt` may
  // be nullptr (no message then).
  TScanController(TargetSystem& target, IOwnerThread& owner, IScanView& view, TOptionsSetting& options,
                  IPrompt* prompt);
  ~TScanController();  // stops a running worker and waits for it
  TScanController(const TScanController&) = delete;
  TScanController& operator=(const TScanController&) = delete;

  // bScan: a scan, or Cancel while it reads "Cancel". The automatic jobs use it too.
  void bScanClick();
  void StartScan();
  void CancelScan();
  // Timer1 (every 500 ms while enabled); `pageVisible`: the Registry page is shown.
  void Timer1Timer(bool pageVisible);
  // The worker's messages, on the owner thread: a section has ended; every section has run.
  void WMScanStep();
  void WMScanDone();
  // bFixErrors: backs up and removes the selected rows' items (see TRegistryFix), then the
  // status and the ignore lists. Also the last end-of-scan step of the "/Clear" run.
  TFixResult bFixErrorsClick();
  // Fix is running: it may be waiting in a question or a dialog of its own.
  bool Fixing() const { return fixing_; }
  // What the last Fix did; none before the first.
  const std::optional<TFixResult>& LastFix() const { return lastFix_; }
  // The restore-point dialog Fix shows first when the settings ask for one; none: no dialog.
  IRestorePointDialog* RestorePointDialog = nullptr;

  // The filter and the status text, on the view's rows (also after Fix).
  void ApplyIgnoreLists();
  void UpdateScanStatus();
  // Stops a worker still running and waits for it (a stop is honoured at every step).
  void ReleaseWorker();

  // The "/Clear" run: no message when nothing is ticked.
  bool SkipConfirm = false;
  // The progress animation step of the running scan.
  int ScanStep = 10;
  // The ticked codes of the last start.
  std::vector<std::string> Selection;

  bool Scanning() const { return scanning_; }
  const std::string& ScanCaption() const { return scanCaption_; }
  int ProgressPosition() const { return progressPosition_; }
  // A worker started whose last call has not been handled here yet.
  bool JobRunning() const { return generation_ != 0 && ended_ != generation_; }

 private:
  class JobEvents;
  void SetScanCaption(const std::string& caption);
  void SetProgressPosition(int position);
  void JobEnded(std::uint64_t generation, bool completed, const std::string& error);

  TargetSystem& target_;
  IOwnerThread& owner_;
  IScanView& view_;
  TOptionsSetting& options_;
  IPrompt* prompt_;
  std::string scanCaption_ = kScanCaption;
  int progressPosition_ = 0;
  bool scanning_ = false;
  bool fixing_ = false;
  std::optional<TFixResult> lastFix_;
  std::uint64_t generation_ = 0;  // of the last worker started
  std::uint64_t current_ = 0;     // of the worker the page listens to; 0 after a Cancel
  std::uint64_t ended_ = 0;       // of the last worker whose end was handled
  std::optional<std::uint64_t> rowsView_;  // the registry view the rows were found on
  // Calls still queued when the controller goes find it gone through this cell.
  std::shared_ptr<TScanController*> self_;
  std::shared_ptr<JobEvents> events_;
  std::unique_ptr<TScanTaskThread> worker_;
};

}  // namespace kestrove
