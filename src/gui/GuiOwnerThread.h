// The window thread as the owner of the pages' state: a worker's posted and sent calls run
// there in the order given, a few milliseconds of them at a time between the window's own
// events; a sent call runs while the worker waits.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "app/OwnerThread.h"

namespace kestrove {

class TQtOwnerThread : public QObject, public IOwnerThread {
  Q_OBJECT

 public:
  explicit TQtOwnerThread(QObject* parent = nullptr);
  ~TQtOwnerThread() override;

  void Post(std::function<void()> call) override;
  // An exception thrown by `call` reaches the caller.
  void Send(const std::function<void()>& call) override;
  // As Send; false when the owner shut down before `call` could run (it then never runs).
  bool TrySend(const std::function<void()>& call);

  // The window is going away: calls still queued are dropped, later ones are ignored, and a
  // worker waiting in Send is let go, so that it can see its stop request and end.
  void Shutdown();
  bool IsShutDown() const;

  // True on the thread the window lives on.
  bool IsOwnerThread() const;

 private:
  static constexpr qint64 kRunBudgetMs = 10;
  Q_INVOKABLE void RunPosted();

  struct TShared;
  std::shared_ptr<TShared> shared_;
};

}  // namespace kestrove
