// The Registry page: the sections tree, the result list, Scan/Cancel, the status text. The
// scan's logic lives in TScanController; this page is its view.
#pragma once

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CheckTree.h"
#include "app/OptionsSetting.h"
#include "app/OwnerThread.h"
#include "app/Prompt.h"
#include "gui/CleanTree.h"
#include "gui/Controls.h"
#include "gui/PageBox.h"
#include "regscan/ResultListOps.h"
#include "regscan/ScanController.h"

namespace kestrove {

class TRegistryPage : public TPageBox, public IScanView {
  Q_OBJECT

 public:
  TRegistryPage(TargetSystem& target, IOwnerThread& owner, TOptionsSetting& options, IPrompt* prompt, int tag,
                QWidget* parent);
  ~TRegistryPage() override;

  // ---- Components
  TStateImageTree* tvRegistry;
  QTreeWidget* lvRegistryData;
  QProgressBar* ProgressBar2;
  QPushButton* bRestoreRegistry;
  QPushButton* bScan;
  QPushButton* bFixErrors;
  TElidedLabel* lStatusBar;
  QLabel* lScanTitle;
  QPlainTextEdit* Memo1;
  // lvRegistryData's pop-up menu and its actions.
  QMenu* PopupMenu1;
  QAction* aSelectItem;
  QAction* aDeselectItem;
  QAction* aSelectAllType;
  QAction* aUnselectAllType;
  QAction* aSelectAll;
  QAction* aSelectNone;
  QAction* aSaveText;
  QAction* aOpenRegedit;

  // ---- Handlers
  // Scan, or Cancel while a scan runs.
  void bScanClick() { scan_->bScanClick(); }
  void bFixErrorsClick() { scan_->bFixErrorsClick(); }
  void tvRegistryMouseDown(Qt::MouseButton button, const QPoint& pos);
  // The filter and the status text, on the rows of lvRegistryData.
  void ApplyIgnoreLists() { scan_->ApplyIgnoreLists(); }
  void UpdateScanStatus() { scan_->UpdateScanStatus(); }
  // The pop-up menu's commands.
  void aSelectItemExecute() { SetFocusedSelected(true); }
  void aDeselectItemExecute() { SetFocusedSelected(false); }
  void aSelectAllTypeExecute() { SetFocusedTypeSelected(true); }
  void aUnselectAllTypeExecute() { SetFocusedTypeSelected(false); }
  void aSelectAllExecute() { SetEverySelected(true); }
  void aSelectNoneExecute() { SetEverySelected(false); }
  void aSaveTextExecute();
  void aOpenRegeditExecute();
  // Saving the list under the name the save dialog gave; false when nothing was written.
  bool SaveScanText(const QString& chosenName);
  // A click on the list: a check box ticked by mouse changes the counts.
  void lvRegistryDataClick() { UpdateScanStatus(); }
  // The actions' enabling rules, for the focused row and the rows there are now.
  void UpdateMenuActions();
  // The list's current row, below 0 when there is none.
  int FocusedRow() const;
  // How the registry editor is started; tests replace it so that no Wine is started.
  TRegeditStarter StartRegedit = [](const TargetSystem& t) { return StartWineRegedit(t); };
  // lvRegistryData's rows as records, and back (the list view item is the record).
  std::vector<TScanResult> RegistryRows() const;
  void SetRegistryRows(const std::vector<TScanResult>& rows);
  void AddRegistryRow(const TScanResult& row);
  bool Scanning() const { return scan_->Scanning(); }
  // The layout rules; `windowWidth` is the main window's.
  void Layout(int windowWidth);

  TScanController& Scanner() { return *scan_; }
  // The sections tree, for the settings store.
  ICheckTree& Sections() { return *sections_; }
  // Timer1 belongs to the window, which shares it with the Cleaner page.
  std::function<void(bool)> OnTimerEnabled;

  // ---- IScanView
  std::vector<std::string> CollectSections() override;
  void SetScanCaption(const std::string& caption) override;
  void SetRestoreVisible(bool visible) override;
  void SetMemoVisible(bool visible) override;
  void SetMemoText(const std::string& text) override;
  void SetScanTitle(const std::string& text) override;
  void ShowProgress() override;
  void SetProgressPosition(int position) override;
  void SetProgressCaption(const std::string& caption, bool shown) override;
  std::size_t RowCount() override;
  std::vector<TScanResult> Rows() override { return RegistryRows(); }
  void SetRows(const std::vector<TScanResult>& rows) override { SetRegistryRows(rows); }
  void ClearRows() override;
  void AddRow(const TScanResult& row) override;
  void RemoveLastRow() override;
  void SelectAllRows() override;
  std::size_t SelectedRowCount() override;
  void SetDefaultColumnWidths() override;
  void FitColumnsToContents() override;
  void SetStatusText(const std::string& text) override;
  void SetTimerEnabled(bool enabled) override;
  void ScanEnded(bool completed, const std::string& error) override;

 private:
  void SetFocusedSelected(bool selected);
  void SetFocusedTypeSelected(bool selected);
  void SetEverySelected(bool selected);
  // Writes the rows' marks back to the list's check boxes, leaving the rows in place.
  void ApplySelection(const std::vector<TScanResult>& rows);

  TargetSystem& target_;
  IPrompt* prompt_;
  std::unique_ptr<ICheckTree> sections_;
  std::unique_ptr<TScanController> scan_;
  bool scrollPending_ = false;
};

}  // namespace kestrove
