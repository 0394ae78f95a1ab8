// The restore-point dialog: shown by Fix Errors before anything is changed, it takes a restore
// point of the target's registry on a worker and ends with OK (go on) or Cancel (do not).
#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <memory>
#include <string>

#include "app/OptionsSetting.h"
#include "app/OwnerThread.h"
#include "app/Prompt.h"
#include "platform/TargetSystem.h"
#include "regscan/RegistryFix.h"
#include "regscan/RestorePoint.h"

namespace kestrove {

class TfrmSystemPoint : public QDialog, public IRestorePointDialog {
  Q_OBJECT

 public:
  // `prompt` asks whether to go on after a refusal; without one, a message box does.
  TfrmSystemPoint(TargetSystem& target, IOwnerThread& owner, TOptionsSetting& options, IPrompt* prompt,
                  QWidget* parent);
  ~TfrmSystemPoint() override;

  // Shows the dialog modally; false when it ended with Cancel.
  bool Run() override;

  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QProgressBar* ProgressBar1;
  QTimer* Timer1;

  // False from show until the worker's report has been handled.
  bool ReportReceived = false;
  // Why the last restore point was refused ("" when it was made).
  std::string LastError;

  // The worker's report (WM_RESTOREPOINTDONE); lParam 0 created, 1 refused.
  void WMRestorePointDone(int lParam);

 public slots:
  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FormShow();
  void Timer1Timer();

  TargetSystem& target_;
  IOwnerThread& owner_;
  TOptionsSetting& options_;
  IPrompt* prompt_;
  std::unique_ptr<TCreateSystemPointThread> worker_;
  int run_ = 0;  // counts shows, so that a report of an earlier show is ignored
};

}  // namespace kestrove
