// A wake-up call for a thread that sleeps between rounds of work: notify() from any thread
// ends the sleeper's current or next wait early. Notifications before a wait count as one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tessomar::platform {

class Wakeup {
 public:
  void notify() {
    // Already pending: the sleeper has not taken the last one yet, and will see this too.
    if (pending_.exchange(true, std::memory_order_acq_rel)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_one();
  }

  // Waits up to `timeout` for a notification and takes it; true when there was one. What
  // the notifier wrote before notify() is visible after a true return.
  bool wait_for(std::chrono::microseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, timeout, [this] { return pending_.load(std::memory_order_acquire); });
    return pending_.exchange(false, std::memory_order_acq_rel);
  }

 private:
  std::atomic<bool> pending_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
};

}  // namespace tessomar::platform
