#include "gui/GuiOwnerThread.h"

#include <QElapsedTimer>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace kestrove {

// Posted calls wait in one queue of ours and the window's event queue holds a single wake-up
// for them: a worker posting a call per line would otherwise flood the event queue, and Qt runs
// every event queued at once before the window can paint or take a click again.
struct TQtOwnerThread::TShared {
  std::mutex mu;
  std::condition_variable cv;
  bool closed = false;
  std::deque<std::function<void()>> calls;
  bool wakeUpQueued = false;
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
  std::lock_guard lock(shared_->mu);
  if (shared_->closed) return;
  shared_->calls.push_back(std::move(call));
  if (shared_->wakeUpQueued) return;
  shared_->wakeUpQueued = true;
  // Posted under the lock: Shutdown cannot complete (and this object cannot go away) between
  // the test and the post. By name, so that the event carries nothing of the worker's: what
  // the call needs passes through the queue's lock.
  QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
}

// Runs the waiting calls in order, for a few milliseconds at most: what is left goes on after
// the window has had its turn. A call may run a nested event loop (a modal box, a wait for a
// job): while calls wait behind it a wake-up stays queued, so that they run inside that loop,
// still in order, as the queue is only ever taken from the front.
void TQtOwnerThread::RunPosted() {
  std::shared_ptr<TShared> shared = shared_;
  {
    std::lock_guard lock(shared->mu);
    shared->wakeUpQueued = false;
  }
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard lock(shared->mu);
      if (shared->closed || shared->calls.empty()) return;
      if (clock.elapsed() >= kRunBudgetMs) {
        if (!shared->wakeUpQueued) {
          shared->wakeUpQueued = true;
          QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
        }
        return;
      }
      call = std::move(shared->calls.front());
      shared->calls.pop_front();
      if (!shared->calls.empty() && !shared->wakeUpQueued) {
        shared->wakeUpQueued = true;
        QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
      }
    }
    call();
  }
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
  std::deque<std::function<void()>> dropped;  // destroyed outside the lock: they may post
  {
    std::lock_guard lock(shared_->mu);
    shared_->closed = true;
    dropped.swap(shared_->calls);
  }
  shared_->cv.notify_all();
}

}  // namespace kestrove
