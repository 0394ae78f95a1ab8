// Questions and messages as modal message boxes. A job asks from its worker thread: the
// question is carried to the window thread and the worker waits for the answer.
#pragma once

#include <QPointer>
#include <QWidget>

#include "app/Prompt.h"
#include "gui/GuiOwnerThread.h"

namespace kestrove {

class TQtPrompt : public IPrompt {
 public:
  TQtPrompt(TQtOwnerThread& owner, QWidget* parent) : owner_(owner), parent_(parent) {}

  TMsgResult Ask(const TMessageRequest& request) override;

  // The box itself, on the window thread.
  static TMsgResult ShowMessageBox(QWidget* parent, const TMessageRequest& request);
  // The answer taken when nobody can answer any more (the window went away): the one that
  // lets nothing happen.
  static TMsgResult CautiousAnswer(TMsgButtons buttons);

 private:
  TQtOwnerThread& owner_;
  QPointer<QWidget> parent_;
};

}  // namespace kestrove
