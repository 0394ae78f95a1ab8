#include "gui/DefragProgress.h"

#include <QPointer>
#include <QShowEvent>
#include <QVBoxLayout>
#include <QHBoxLayout>

#include "app/Prompt.h"
#include "platform/RegistryStore.h"

namespace kestrove {

TfrmGetNewHiveProgess::TfrmGetNewHiveProgess(RegistryStore& store, IOwnerThread& owner, THiveTable table, bool silent,
                                             QWidget* parent)
    : QDialog(parent), store_(store), owner_(owner), table_(std::move(table)), silent_(silent) {
  setWindowTitle("Defrag Registry");
  setModal(true);
  // An unattended job's dialog runs its loop without ever being seen: hiding a dialog that
  // runs modally would end that loop before the worker is done.
  if (silent_) setAttribute(Qt::WA_DontShowOnScreen, true);
  Label1 = new QLabel("Analyzing registry. Please wait.", this);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setRange(0, 1000);
  ProgressBar1->setTextVisible(true);
  Label2 = new QLabel("Checking: ", this);
  Memo1 = new QPlainTextEdit("Registry Key", this);
  Memo1->setReadOnly(true);
  Memo1->setFixedHeight(Memo1->fontMetrics().height() * 2 + 8);
  bStop = new QPushButton("Stop", this);
  Timer1 = new QTimer(this);
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  connect(bStop, &QPushButton::clicked, this, [this] { bStopClick(); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label1);
  layout->addWidget(ProgressBar1);
  auto* row = new QHBoxLayout;
  row->addWidget(Label2);
  row->addWidget(Memo1, 1);
  layout->addLayout(row);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(bStop);
  layout->addLayout(buttons);
  resize(420, sizeHint().height());
}

TfrmGetNewHiveProgess::~TfrmGetNewHiveProgess() {
  if (worker_) worker_->Terminate();
  worker_.reset();
}

std::int64_t TfrmGetNewHiveProgess::HiveSize(std::size_t k) const {
  return k < table_.size() ? HiveFileSize(table_.HostFiles[k]) : 0;
}

std::int64_t TfrmGetNewHiveProgess::CopySize(std::size_t k) const {
  return k < table_.size() ? HiveFileSize(HiveCopyFile(table_.HostFiles[k])) : 0;
}

void TfrmGetNewHiveProgess::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  ProgressBar1->setValue(0);
  Progress = TDefragProgress{};
  Stopped = false;
  closed_ = false;
  const int run = ++run_;
  QPointer<TfrmGetNewHiveProgess> self(this);
  owner_.Post([self, run] {
    if (self && self->run_ == run) self->WMStartWorker();
  });
}

void TfrmGetNewHiveProgess::WMStartWorker() {
  const int run = run_;
  QPointer<TfrmGetNewHiveProgess> self(this);
  IOwnerThread& owner = owner_;
  // The worker reports by posting to the window thread; a report that arrives after the
  // dialog has gone, or of an earlier showing, is dropped.
  TScanDefragTaskThread::TEvents events;
  events.SetMemo = [self, run, &owner](const std::string& text) {
    owner.Post([self, run, text] {
      if (self && self->run_ == run) self->Memo1->setPlainText(QString::fromStdString(text));
    });
  };
  events.HiveSaved = [self, run, &owner](std::int64_t ms, std::size_t count) {
    owner.Post([self, run, ms, count] {
      if (self && self->run_ == run) self->WMHiveSaved(ms, count);
    });
  };
  events.Closed = [self, run, &owner] {
    owner.Post([self, run] {
      if (self && self->run_ == run && !self->closed_) self->reject();
    });
  };
  worker_ = std::make_unique<TScanDefragTaskThread>(store_, table_, events);
  worker_->Resume();
  std::int64_t total = 0;
  for (std::size_t k = 0; k < table_.size(); ++k) total += HiveSize(k);
  Progress.Start(total);
  Timer1->start();
}

void TfrmGetNewHiveProgess::WMHiveSaved(std::int64_t firstMs, std::size_t count) {
  Progress.HiveSaved(firstMs, count, table_.size(), false, [this](std::size_t k) { return HiveSize(k); },
                     [this](std::size_t k) { return CopySize(k); });
  ProgressBar1->setValue(static_cast<int>(std::min<std::int64_t>(Progress.Position, 1000)));
}

void TfrmGetNewHiveProgess::Timer1Timer() {
  Progress.Tick(table_.size(), [this](std::size_t k) { return CopySize(k); });
  ProgressBar1->setValue(static_cast<int>(std::min<std::int64_t>(Progress.Position, 1000)));
  if (!Progress.TimerOn) Timer1->stop();
}

void TfrmGetNewHiveProgess::bStopClick() {
  Stopped = true;
  Label1->setText("Stop Process...");
  Timer1->stop();
  if (worker_) worker_->Terminate();
  bStop->setEnabled(false);
}

// A worker cannot be killed half way through a copy here: it is told to stop and waited for,
// which takes at most the hive in progress; the copy it writes appears only once whole.
void TfrmGetNewHiveProgess::done(int result) {
  closed_ = true;
  Timer1->stop();
  if (worker_) {
    if (worker_->Running()) worker_->Terminate();
    worker_->Wait();
    CollectResults();
  }
  QDialog::done(result);
}

void TfrmGetNewHiveProgess::CollectResults() {
  MadeFrom = worker_->MadeFrom();
  Errors = worker_->Errors();
}

}  // namespace kestrove
