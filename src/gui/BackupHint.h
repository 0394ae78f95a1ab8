// The small progress dialog shown while the registry editor imports or exports: it polls the
// child every half second and closes with OK when it has ended; Stop ends the child at once.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "regscan/Restore.h"

namespace kestrove {

class TfrmBackupHint : public QDialog {
  Q_OBJECT

 public:
  TfrmBackupHint(TChildProcess& child, const QString& hint, QWidget* parent);

  QLabel* lHint;
  QProgressBar* ProgressBar1;
  QPushButton* bStop;
  QTimer* Timer1;

  void Timer1Timer();
  void bStopClick();
  // The bar slows down as it fills and never completes on its own.
  static int NextPosition(int position);

 private:
  TChildProcess& child_;
};

// The window's wait for the editor: TfrmBackupHint, modal, centred on `parent`.
class TQtRegeditProgress : public IRegeditProgress {
 public:
  explicit TQtRegeditProgress(QWidget* parent) : parent_(parent) {}
  bool WaitWithProgress(TChildProcess& child, const std::string& hint) override;

 private:
  QWidget* parent_;
};

}  // namespace kestrove
