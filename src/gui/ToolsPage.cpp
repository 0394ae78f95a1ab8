#include "gui/ToolsPage.h"

#include <QHeaderView>
#include <utility>

#include "app/Prompt.h"
#include "platform/RegistryTypes.h"
#include "platform/TargetSystem.h"
#include "tools/StartupManager.h"

namespace kestrove {

TToolsPage::TToolsPage(int tag, QWidget* parent) : TPageBox("Tools", tag, parent) {
  lvStartup = new QTreeWidget(this);
  lvStartup->setHeaderLabels({"Startup Program", "File", "Location"});
  lvStartup->setRootIsDecorated(false);
  lvStartup->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvStartup->setColumnWidth(0, 100);
  lvStartup->setColumnWidth(1, 120);
  lvStartup->setColumnWidth(2, 125);
  bStartup = new QPushButton("Startup", this);
  bStartup->setToolTip("Startup manager for Windows to optimize Windows startup configuration");
  bDeleteEntry = new QPushButton("&Delete Entry", this);
  bDeleteEntry->setToolTip("Delete the selected entries");
  bSelectAll = new QPushButton("Select &All", this);
  bSelectAll->setToolTip("Select all entries in the list");
  bSelectNone = new QPushButton("Select &None", this);
  bSelectNone->setToolTip("Cancel all entries in the list");
  bBackupFullRegistry = new QPushButton("Backup Full Registry...", this);
  bBackupFullRegistry->setToolTip("Backup your entire registry");
  bWindowsBackup = new QPushButton("Windows Backup...", this);
  bWindowsBackup->setToolTip("Use the windows backup tool to backup the system");
  bViewHistory = new QPushButton("Index.dat Viewer...", this);
  bViewHistory->setToolTip("Read the contents of your index.dat files");
  lvStartup->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvStartup->setAllColumnsShowFocus(true);
  connect(bStartup, &QPushButton::clicked, this, [this] { bStartupClick(); });
  connect(bDeleteEntry, &QPushButton::clicked, this, [this] { bDeleteEntryClick(); });
  connect(bSelectAll, &QPushButton::clicked, this, [this] { bSelectAllClick(); });
  connect(bSelectNone, &QPushButton::clicked, this, [this] { bSelectNoneClick(); });
}

void TToolsPage::Attach(TargetSystem* target, IPrompt* prompt) {
  target_ = target;
  prompt_ = prompt;
}

void TToolsPage::bStartupClick() {
  lvStartup->clear();
  if (!target_) return;
  TStartupList list;
  try {
    list = ListStartupEntries(*target_);
  } catch (const RegistryError& e) {
    // A hive that cannot be read: the list stays empty and says why.
    if (prompt_) prompt_->Ask({kProductName, e.what(), TMsgButtons::Ok, TMsgIcon::Warning, 0});
    return;
  }
  listView_ = list.View;
  for (const TStartupEntry& e : list.Entries) {
    auto* row = new QTreeWidgetItem(lvStartup, {QString::fromStdString(e.Program), QString::fromStdString(e.File),
                                                QString::fromStdString(e.Location)});
    row->setFlags((row->flags() | Qt::ItemIsUserCheckable) & ~Qt::ItemIsEditable);
    row->setCheckState(0, Qt::Unchecked);
  }
  if (lvStartup->topLevelItemCount() > 0)
    for (int c = 0; c < 3; ++c) lvStartup->resizeColumnToContents(c);
}

// The checked rows go, last to first; the entries are removed together, so that a refusal
// (Wine runs, or the registry changed since the list) removes none of them and keeps every row.
void TToolsPage::bDeleteEntryClick() {
  if (!target_) return;
  std::vector<TStartupEntry> checked;
  std::vector<QTreeWidgetItem*> rows;
  for (int i = lvStartup->topLevelItemCount() - 1; i >= 0; --i) {
    QTreeWidgetItem* row = lvStartup->topLevelItem(i);
    if (row->checkState(0) != Qt::Checked) continue;
    checked.push_back({row->text(0).toStdString(), row->text(1).toStdString(), row->text(2).toStdString()});
    rows.push_back(row);
  }
  if (checked.empty()) return;
  try {
    DeleteStartupEntries(*target_, listView_, checked);
  } catch (const RegistryError& e) {
    if (prompt_) prompt_->Ask({kProductName, e.what(), TMsgButtons::Ok, TMsgIcon::Warning, 0});
    return;
  }
  // A failed removal still takes its row away: the next Startup click shows it again.
  for (QTreeWidgetItem* row : rows) delete row;
  // The list is the state after the deletion: what this window committed is the new view.
  listView_ = target_->Registry()->View();
}

void TToolsPage::bSelectAllClick() {
  for (int i = 0; i < lvStartup->topLevelItemCount(); ++i) lvStartup->topLevelItem(i)->setCheckState(0, Qt::Checked);
}

void TToolsPage::bSelectNoneClick() {
  for (int i = 0; i < lvStartup->topLevelItemCount(); ++i) lvStartup->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
}

void TToolsPage::Layout() {
  const int w = width();
  const int h = height();
  const int top = ContentTop();
  int left = 8;
  for (QPushButton* b : {bBackupFullRegistry, bWindowsBackup, bViewHistory}) {
    b->setGeometry(left, top, ButtonWidth(b), kPageButtonHeight);
    left += b->width() + 20;
  }
  const int listTop = top + kPageButtonHeight + 8;
  const int buttonTop = h - 8 - kPageButtonHeight;
  lvStartup->setGeometry(8, listTop, w - 16, buttonTop - 8 - listTop);
  int right = 8 + lvStartup->width();
  const std::pair<QPushButton*, int> row[] = {{bSelectNone, 12}, {bSelectAll, 20}, {bDeleteEntry, 20}, {bStartup, 0}};
  for (const auto& [button, gapBefore] : row) {
    const int bw = ButtonWidth(button);
    button->setGeometry(right - bw, buttonTop, bw, kPageButtonHeight);
    right = button->x() - gapBefore;
  }
}

}  // namespace kestrove
