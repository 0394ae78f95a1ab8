#include "gui/SystemPoint.h"

#include <QFont>
#include <QPointer>
#include <QVBoxLayout>

#include "gui/GuiPrompt.h"

namespace kestrove {

TfrmSystemPoint::TfrmSystemPoint(TargetSystem& target, IOwnerThread& owner, TOptionsSetting& options, IPrompt* prompt,
                                 QWidget* parent)
    : QDialog(parent), target_(target), owner_(owner), options_(options), prompt_(prompt) {
  setWindowTitle("Create System Point");
  // A fixed frame with a title but no title-bar buttons: the worker ends the dialog.
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setModal(true);

  Label1 = new QLabel("Creating Restore Point", this);
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);
  Label2 = new QLabel(QString(kProductName) + " is creating a restore point which will enable", this);
  Label3 = new QLabel("you to safely return your system back to its former state.", this);
  Label4 = new QLabel("Please wait...", this);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  Timer1 = new QTimer(this);
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Label1);
  layout->addSpacing(8);
  layout->addWidget(Label2);
  layout->addWidget(Label3);
  layout->addSpacing(8);
  layout->addWidget(Label4);
  layout->addWidget(ProgressBar1);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

TfrmSystemPoint::~TfrmSystemPoint() { worker_.reset(); }

bool TfrmSystemPoint::Run() { return exec() == QDialog::Accepted; }

void TfrmSystemPoint::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Centred on the main window.
  if (QWidget* owner = parentWidget(); owner && owner->isVisible())
    move(owner->window()->frameGeometry().center() - rect().center());
  FormShow();
}

void TfrmSystemPoint::FormShow() {
  ReportReceived = false;
  LastError.clear();
  ProgressBar1->setValue(0);
  const int run = ++run_;
  QPointer<TfrmSystemPoint> self(this);
  worker_ = std::make_unique<TCreateSystemPointThread>(
      target_.Registry(), target_.Identity(), options_.OutputDirectory, owner_, [self, run](int lParam, const std::string& error) {
        // A report of a show that already ended (closed early) is nobody's business.
        if (!self || self->run_ != run || self->ReportReceived || !self->isVisible()) return;
        self->LastError = error;
        self->WMRestorePointDone(lParam);
      });
  worker_->Start();
  Timer1->start();
}

// The bar slows down as it goes and waits at 100 for the report.
void TfrmSystemPoint::Timer1Timer() {
  const int p = ProgressBar1->value();
  int step = 0;
  if (p <= 30) step = 10;
  else if (p <= 50) step = 5;
  else if (p <= 60) step = 3;
  else if (p <= 80) step = 2;
  else if (p <= 99) step = 1;
  ProgressBar1->setValue(std::min(100, p + step));
}

void TfrmSystemPoint::WMRestorePointDone(int lParam) {
  int result = QDialog::Accepted;
  if (lParam == kRestorePointRefused) {
    const TMessageRequest question{kProductName, "Restore Point creation Failed! Contiue to fix?", TMsgButtons::YesNo,
                                   TMsgIcon::Information, 1};
    const TMsgResult answer = prompt_ ? prompt_->Ask(question) : TQtPrompt::ShowMessageBox(this, question);
    if (answer != TMsgResult::Yes) result = QDialog::Rejected;
  }
  ReportReceived = true;
  QMetaObject::invokeMethod(
      this, [this, result] {
        if (isVisible()) done(result);
      },
      Qt::QueuedConnection);
}

// Closed before the worker reported: the copy is abandoned and Fix does not go on.
void TfrmSystemPoint::done(int result) {
  Timer1->stop();
  if (!ReportReceived) result = QDialog::Rejected;
  if (worker_) worker_->Stop();
  worker_.reset();
  QDialog::done(result);
}

}  // namespace kestrove
