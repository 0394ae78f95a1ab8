// How a worker reaches the thread that owns the window state: posted calls run later on
// that thread in the order posted; a sent call runs there while the worker waits.
// The window implements it with its event loop; TMessageQueue is the plain one for the
// command-line tool and tests.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrove {

class IOwnerThread {
 public:
  virtual ~IOwnerThread() = default;
  // Queues `call` for the owner thread and returns at once.
  virtual void Post(std::function<void()> call) = 0;
  // Runs `call` on the owner thread and waits until it has run.
  virtual void Send(const std::function<void()>& call) = 0;
};

// A queue that the owner thread drains itself (ProcessOne / ProcessUntil).
class TMessageQueue : public IOwnerThread {
 public:
  TMessageQueue() : owner_(std::this_thread::get_id()) {}

  void Post(std::function<void()> call) override;
  void Send(const std::function<void()>& call) override;

  // Runs queued calls on the calling (owner) thread until `done` returns true; waits for
  // new calls while there are none. Returns false when `deadline` passes first.
  bool ProcessUntil(const std::function<bool()>& done,
                    std::chrono::steady_clock::duration timeout = std::chrono::hours(24 * 365));
  // Runs the calls queued now; returns how many ran.
  std::size_t ProcessPending();
  // Wakes a waiting ProcessUntil so that it checks its condition again.
  void Wake();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  std::thread::id owner_;
};

}  // namespace kestrove
