#include "gui/GuiPrompt.h"

#include <QMessageBox>
#include <QPushButton>

namespace kestrove {

TMsgResult TQtPrompt::CautiousAnswer(TMsgButtons buttons) {
  switch (buttons) {
    case TMsgButtons::Ok:
      return TMsgResult::Ok;
    case TMsgButtons::OkCancel:
    case TMsgButtons::YesNoCancel:
      return TMsgResult::Cancel;
    case TMsgButtons::YesNo:
      return TMsgResult::No;
  }
  return TMsgResult::Cancel;
}

TMsgResult TQtPrompt::ShowMessageBox(QWidget* parent, const TMessageRequest& r) {
  QMessageBox box(parent);
  // The caption is the request's own: the program's boxes name the product, a few have none.
  box.setWindowTitle(QString::fromStdString(r.Caption));
  box.setText(QString::fromStdString(r.Text));
  switch (r.Icon) {
    case TMsgIcon::None:
      box.setIcon(QMessageBox::NoIcon);
      break;
    case TMsgIcon::Information:
      box.setIcon(QMessageBox::Information);
      break;
    case TMsgIcon::Warning:
      box.setIcon(QMessageBox::Warning);
      break;
    case TMsgIcon::Question:
      box.setIcon(QMessageBox::Question);
      break;
    case TMsgIcon::Error:
      box.setIcon(QMessageBox::Critical);
      break;
  }
  std::vector<QMessageBox::StandardButton> order;
  switch (r.Buttons) {
    case TMsgButtons::Ok:
      order = {QMessageBox::Ok};
      break;
    case TMsgButtons::OkCancel:
      order = {QMessageBox::Ok, QMessageBox::Cancel};
      break;
    case TMsgButtons::YesNo:
      order = {QMessageBox::Yes, QMessageBox::No};
      break;
    case TMsgButtons::YesNoCancel:
      order = {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel};
      break;
  }
  QMessageBox::StandardButtons buttons;
  for (auto b : order) buttons |= b;
  box.setStandardButtons(buttons);
  const std::size_t def = r.DefaultButton >= 0 ? static_cast<std::size_t>(r.DefaultButton) : 0;
  box.setDefaultButton(order[def < order.size() ? def : 0]);
  // Closing the box without a choice is the cautious answer, not the first button.
  box.setEscapeButton(buttons & QMessageBox::Cancel ? QMessageBox::Cancel
                     : buttons & QMessageBox::No   ? QMessageBox::No
                                                   : QMessageBox::Ok);
  box.exec();
  switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Ok:
      return TMsgResult::Ok;
    case QMessageBox::Yes:
      return TMsgResult::Yes;
    case QMessageBox::No:
      return TMsgResult::No;
    case QMessageBox::Cancel:
      return TMsgResult::Cancel;
    default:
      return CautiousAnswer(r.Buttons);
  }
}

TMsgResult TQtPrompt::Ask(const TMessageRequest& request) {
  TMsgResult answer = CautiousAnswer(request.Buttons);
  owner_.TrySend([&] { answer = ShowMessageBox(parent_.data(), request); });
  return answer;
}

}  // namespace kestrove
