// The question before a clean removes anything.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "app/OptionsSetting.h"

namespace kestrove {

class TfrmAskDelete : public QDialog {
  Q_OBJECT

 public:
  // Yes: the clean may start; No: it may not.
  enum TResult { No = QDialog::Rejected, Yes = QDialog::Accepted };

  TfrmAskDelete(TOptionsSetting& options, QWidget* parent);

  QLabel* Label1;
  QLabel* Label5;
  QCheckBox* cbAsk;
  QPushButton* bOK;
  QPushButton* bCancel;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FormShow();
  void cbAskClick();
  TOptionsSetting& options_;
};

}  // namespace kestrove
