// The Tools page: the startup manager (the programs Windows starts at logon, with their
// deletion), the full backup, the Windows backup and the index.dat viewer's buttons.
#pragma once

#include <QPushButton>
#include <QTreeWidget>
#include <cstdint>

#include "gui/PageBox.h"

namespace kestrove {

class TargetSystem;
class IPrompt;

class TToolsPage : public TPageBox {
  Q_OBJECT

 public:
  TToolsPage(int tag, QWidget* parent);

  // ---- Components
  QTreeWidget* lvStartup;
  QPushButton* bStartup;
  QPushButton* bDeleteEntry;
  QPushButton* bSelectAll;
  QPushButton* bSelectNone;
  QPushButton* bBackupFullRegistry;
  QPushButton* bWindowsBackup;
  QPushButton* bViewHistory;

  // The layout rules.
  void Layout();

  // The Windows system the startup manager works on and where it says what went wrong.
  void Attach(TargetSystem* target, IPrompt* prompt);
  void bStartupClick();
  void bDeleteEntryClick();
  void bSelectAllClick();
  void bSelectNoneClick();

 private:
  TargetSystem* target_ = nullptr;
  IPrompt* prompt_ = nullptr;
  std::uint64_t listView_ = 0;  // the registry state the list was read from
};

}  // namespace kestrove
