// The "Defrag Registry" progress dialog: starts the worker that writes the hives' compacted
// copies, moves its bar from the copies' sizes and a timer, and stops the worker on request.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/OwnerThread.h"
#include "defrag/HiveAnalysis.h"

namespace kestrove {

class RegistryStore;

class TfrmGetNewHiveProgess : public QDialog {
  Q_OBJECT

 public:
  // `silent`: the dialog hides itself when the worker starts (the unattended jobs).
  TfrmGetNewHiveProgess(RegistryStore& store, IOwnerThread& owner, THiveTable table, bool silent, QWidget* parent);
  ~TfrmGetNewHiveProgess() override;

  QLabel* Label1;
  QProgressBar* ProgressBar1;
  QLabel* Label2;
  QPlainTextEdit* Memo1;
  QPushButton* bStop;
  QTimer* Timer1;

  TDefragProgress Progress;
  bool Stopped = false;

  // 0x6422: starts the worker; 0x6423: one hive saved.
  void WMStartWorker();
  void WMHiveSaved(std::int64_t firstMs, std::size_t count);
  void Timer1Timer();
  void bStopClick();

  // After the dialog closed: what the worker left (see TScanDefragTaskThread).
  std::vector<std::optional<FileStamp>> MadeFrom;
  std::vector<std::string> Errors;

 public slots:
  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  std::int64_t HiveSize(std::size_t k) const;
  std::int64_t CopySize(std::size_t k) const;
  void CollectResults();

  RegistryStore& store_;
  IOwnerThread& owner_;
  const THiveTable table_;
  const bool silent_;
  std::unique_ptr<TScanDefragTaskThread> worker_;
  int run_ = 0;  // counts shows, so that a report of an earlier show is ignored
  bool closed_ = false;
};

}  // namespace kestrove
