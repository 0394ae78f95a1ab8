#include "gui/BackupHint.h"

#include <QVBoxLayout>
#include <algorithm>

namespace kestrove {

TfrmBackupHint::TfrmBackupHint(TChildProcess& child, const QString& hint, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint), child_(child) {
  setWindowTitle(kProductName);
  lHint = new QLabel(hint, this);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setRange(0, 500);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  bStop = new QPushButton("Stop", this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lHint);
  layout->addWidget(ProgressBar1);
  layout->addWidget(bStop, 0, Qt::AlignHCenter);
  setFixedSize(340, 120);
  Timer1 = new QTimer(this);
  Timer1->setInterval(500);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  connect(bStop, &QPushButton::clicked, this, [this] { bStopClick(); });
  Timer1->start();
}

int TfrmBackupHint::NextPosition(int position) {
  if (position <= 300) return position + 10;
  if (position <= 400) return position + 5;
  if (position <= 450) return position + 3;
  if (position <= 490) return position + 2;
  if (position <= 500) return position + 1;
  return position;
}

void TfrmBackupHint::Timer1Timer() {
  if (!child_.Running()) {
    Timer1->stop();
    accept();
    return;
  }
  // The bar's range ends at 500; a value beyond it would be ignored.
  ProgressBar1->setValue(std::min(NextPosition(ProgressBar1->value()), ProgressBar1->maximum()));
}

void TfrmBackupHint::bStopClick() {
  Timer1->stop();
  child_.Kill();
  reject();
}

bool TQtRegeditProgress::WaitWithProgress(TChildProcess& child, const std::string& hint) {
  TfrmBackupHint dialog(child, QString::fromStdString(hint), parent_);
  return dialog.exec() == QDialog::Accepted;
}

}  // namespace kestrove
