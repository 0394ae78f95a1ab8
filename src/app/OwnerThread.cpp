#include "app/OwnerThread.h"

#include <future>

namespace kestrove {

void TMessageQueue::Post(std::function<void()> call) {
  // Notified under the lock: once the owner has run the last call of a worker, the worker
  // is no longer inside the queue, so the owner may destroy it.
  // The owner waits only on an empty queue: a call added behind others needs no wake-up,
  // which spares a thread switch per log line of a busy job.
  std::lock_guard lock(mu_);
  const bool wasEmpty = queue_.empty();
  queue_.push_back(std::move(call));
  if (wasEmpty) cv_.notify_all();
}

void TMessageQueue::Send(const std::function<void()>& call) {
  if (std::this_thread::get_id() == owner_) {
    call();
    return;
  }
  std::promise<void> done;
  auto future = done.get_future();
  Post([&] {
    try {
      call();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  future.get();
}

void TMessageQueue::Wake() { Post([] {}); }

std::size_t TMessageQueue::ProcessPending() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mu_);
    batch.swap(queue_);
  }
  for (auto& call : batch) call();
  return batch.size();
}

bool TMessageQueue::ProcessUntil(const std::function<bool()>& done, std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    std::function<void()> call;
    {
      std::unique_lock lock(mu_);
      if (!cv_.wait_until(lock, deadline, [&] { return !queue_.empty(); })) return false;
      call = std::move(queue_.front());
      queue_.pop_front();
    }
    call();
  }
  return true;
}

}  // namespace kestrove
