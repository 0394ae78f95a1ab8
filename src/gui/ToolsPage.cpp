#include "gui/ToolsPage.h"

#include <utility>

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
  // The startup manager is not part of this window yet; the backup buttons are the window's.
  for (QPushButton* b : {bStartup, bDeleteEntry, bSelectAll, bSelectNone})
    b->setEnabled(false);
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
