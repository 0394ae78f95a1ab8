#include "gui/AskDelete.h"

#include <QHBoxLayout>
#include <QStyle>
#include <QVBoxLayout>

namespace kestrove {

TfrmAskDelete::TfrmAskDelete(TOptionsSetting& options, QWidget* parent) : QDialog(parent), options_(options) {
  setWindowTitle("Run Cleaner");
  // A fixed frame: the dialog cannot be resized.
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

  Label1 = new QLabel(this);
  Label5 = new QLabel(this);
  for (QLabel* l : {Label1, Label5}) {
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, Qt::red);
    l->setPalette(pal);
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
  }

  auto* icon = new QLabel(this);
  const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning, nullptr, this).pixmap(size, size));
  icon->setAlignment(Qt::AlignTop);
  auto* warning = new QLabel(
      "It's better to close all programs you want to clear their\n"
      " history, the software can not delete the entries being used\n"
      "by those programs such as Internet Explorer.",
      this);

  cbAsk = new QCheckBox("Don't show me this message again", this);
  bOK = new QPushButton("&OK", this);
  bCancel = new QPushButton("&Cancel", this);
  bOK->setDefault(true);

  auto* warningRow = new QHBoxLayout;
  warningRow->addWidget(icon);
  warningRow->addSpacing(8);
  warningRow->addWidget(warning, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cbAsk);
  buttons->addStretch(1);
  buttons->addWidget(bOK);
  buttons->addWidget(bCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label1);
  layout->addWidget(Label5);
  layout->addSpacing(10);
  layout->addLayout(warningRow);
  layout->addSpacing(10);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(cbAsk, &QCheckBox::clicked, this, [this] { cbAskClick(); });
  connect(bOK, &QPushButton::clicked, this, [this] { done(Yes); });
  connect(bCancel, &QPushButton::clicked, this, [this] { done(No); });
}

void TfrmAskDelete::showEvent(QShowEvent* event) {
  FormShow();
  QDialog::showEvent(event);
  // Centred on the main window.
  if (QWidget* owner = parentWidget(); owner && owner->isVisible())
    move(owner->frameGeometry().center() - rect().center());
}

void TfrmAskDelete::FormShow() {
  Label1->setText("Are you sure you want to start to clean the selected item?");
  Label5->setText("Are you sure you wish to proceed?");
}

void TfrmAskDelete::cbAskClick() { options_.IsAskBeforeClear = !cbAsk->isChecked(); }

}  // namespace kestrove
