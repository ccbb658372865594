// How the scan's helper threads wait for each other: a thread sleeps until a
// condition on shared atomics holds, and the thread that changes them rings
// after each change, which costs a system call only when someone sleeps.
// Every store that a condition reads must be sequentially consistent, so that
// either the sleeper sees it or the ringer sees the sleeper.
#ifndef RIRAVUVAVU_RESULTS_DOORBELL_H_
#define RIRAVUVAVU_RESULTS_DOORBELL_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class Doorbell {
 public:
  template <typename Condition>
  void sleep_until(Condition condition) {
    std::unique_lock lock(mutex_);
    asleep_.store(true);
    bell_.wait(lock, condition);
    asleep_.store(false);
  }

  // As sleep_until, but for `period` at most.
  template <typename Condition>
  void doze(Condition condition, std::chrono::microseconds period) {
    std::unique_lock lock(mutex_);
    asleep_.store(true);
    bell_.wait_for(lock, period, condition);
    asleep_.store(false);
  }

  void ring() {
    if (!asleep_.load()) return;
    // Taking the lock puts this after the sleeper's last look at the condition.
    { std::lock_guard lock(mutex_); }
    bell_.notify_one();
  }

 private:
  std::atomic<bool> asleep_{false};
  std::mutex mutex_;
  std::condition_variable bell_;
};

#endif  // RIRAVUVAVU_RESULTS_DOORBELL_H_
