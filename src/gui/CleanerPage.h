// The Cleaner page: the tree of clean items, the log, Test and Clean, Fast Mode. The
// cleaner's logic lives in TCleanerController; this page is its view.
#pragma once

#include <QAction>
#include <QCheckBox>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/OptionsSetting.h"
#include "app/OwnerThread.h"
#include "cleaner/CleanCatalogue.h"
#include "cleaner/CleanerController.h"
#include "gui/CleanTree.h"
#include "gui/CustomListEditor.h"
#include "gui/LogList.h"
#include "gui/PageBox.h"

namespace kestrove {

class TCleanerPage : public TPageBox, public ICleanerView {
  Q_OBJECT

 public:
  // The catalogue and the options outlive the page.
  TCleanerPage(const TCleanContext& context, IOwnerThread& owner, TCleanCatalogue& catalogue,
               TOptionsSetting& options, int tag, QWidget* parent);
  ~TCleanerPage() override;

  // ---- Components
  TCleanTreeView* tvCleanItems;
  TLogListView* lMain;
  QProgressBar* ProgressBar1;
  QPushButton* bTest;
  QPushButton* bClean;
  QCheckBox* cbFastMode;
  QMenu* PopupMenu_ClearHistory;
  QAction* aSaveText_ClearHistory;

  // ---- Handlers
  void bTestClick();
  void bCleanClick();
  void cbFastModeClick();
  void tvCleanItemsMouseDown(Qt::MouseButton button, const QPoint& pos);
  void aSaveText_ClearHistoryExecute();
  // Saving the log under the name the save dialog gave; false when nothing was written.
  bool SaveLogToFile(const QString& chosenName);
  // The layout rules.
  void Layout();
  // The tip of a node of tvCleanItems: for an item its name and the places on this target
  // its operation reaches (found once, then kept); for a category nothing.
  QString ItemTip(const TCatalogueNode& node);
  // The tip's text for an item and its places.
  static QString CleanItemTip(const std::string& itemName, const std::vector<TTracePlace>& places);

  // The custom list editor, opened from the "<New List>" label; true when it saved the list.
  bool EditCustomList();
  // The folder picker and registry editor of the custom list dialogs (tests replace them).
  TCustomListHooks CustomListHooks;

  TCleanerController& Cleaner() { return *cleaner_; }
  // Timer1 belongs to the window, which shares it with the Registry page; whether a failed
  // job is told in a box is the window's to say.
  std::function<void(bool)> OnTimerEnabled;
  std::function<void(const std::string&)> OnJobFailed;

  // ---- ICleanerView
  std::vector<std::string> CollectSelection() override;
  bool FirefoxCategoryChecked() override;
  bool ConfirmClean() override;
  void SetTestCaption(const std::string& caption) override;
  void SetProgressVisible(bool visible) override;
  void SetProgressPosition(int position) override;
  void SetProgressCaption(const std::string& caption, bool shown) override;
  void SetLogHidden(bool hidden) override;
  bool LogHidden() override;
  void ClearLog() override;
  void AddLogLine(const std::string& line) override;
  void ScrollLogToEnd() override;
  void FitLogWidth() override;
  void SetTimerEnabled(bool enabled) override;
  void JobFailed(const std::string& message) override;

 private:
  TCleanContext context_;
  std::map<std::string, QString> tips_;
  TCleanCatalogue& catalogue_;
  TOptionsSetting& options_;
  IPrompt* prompt_;
  std::unique_ptr<TCleanerController> cleaner_;
};

}  // namespace kestrove
