#include "gui/GuiOwnerThread.h"

#include <QThread>
#include <condition_variable>
#include <exception>
#include <mutex>

namespace kestrove {

struct TQtOwnerThread::TShared {
  std::mutex mu;
  std::condition_variable cv;
  bool closed = false;
};

namespace {

struct TSendState {
  bool started = false;
  bool done = false;
  std::exception_ptr error;
};

}  // namespace

TQtOwnerThread::TQtOwnerThread(QObject* parent) : QObject(parent), shared_(std::make_shared<TShared>()) {}

TQtOwnerThread::~TQtOwnerThread() { Shutdown(); }

bool TQtOwnerThread::IsOwnerThread() const { return QThread::currentThread() == thread(); }

bool TQtOwnerThread::IsShutDown() const {
  std::lock_guard lock(shared_->mu);
  return shared_->closed;
}

void TQtOwnerThread::Post(std::function<void()> call) {
  auto shared = shared_;
  // Posting under the lock: Shutdown cannot complete (and this object cannot go away) between
  // the test and the post.
  std::lock_guard lock(shared->mu);
  if (shared->closed) return;
  QMetaObject::invokeMethod(
      this,
      [shared, call = std::move(call)] {
        {
          std::lock_guard inner(shared->mu);
          if (shared->closed) return;
        }
        call();
      },
      Qt::QueuedConnection);
}

bool TQtOwnerThread::TrySend(const std::function<void()>& call) {
  if (IsOwnerThread()) {
    call();
    return true;
  }
  auto shared = shared_;
  auto state = std::make_shared<TSendState>();
  Post([shared, state, call] {
    {
      std::lock_guard lock(shared->mu);
      state->started = true;
    }
    std::exception_ptr error;
    try {
      call();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(shared->mu);
      state->done = true;
      state->error = error;
    }
    shared->cv.notify_all();
  });
  std::unique_lock lock(shared->mu);
  // A call that has begun is waited for even when the window shuts down meanwhile (from a
  // nested event loop inside the call): it may use what the worker owns.
  shared->cv.wait(lock, [&] { return state->done || (shared->closed && !state->started); });
  if (state->error) std::rethrow_exception(state->error);
  return state->done;
}

void TQtOwnerThread::Send(const std::function<void()>& call) { TrySend(call); }

void TQtOwnerThread::Shutdown() {
  {
    std::lock_guard lock(shared_->mu);
    shared_->closed = true;
  }
  shared_->cv.notify_all();
}

}  // namespace kestrove
