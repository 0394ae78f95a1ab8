// The Tools page: the startup list with its buttons and the two backup buttons. The tools
// come with their own issues; the page holds their place.
#pragma once

#include <QPushButton>
#include <QTreeWidget>

#include "gui/PageBox.h"

namespace kestrove {

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
};

}  // namespace kestrove
