// A mutex whose lock attempt gives up at a deadline: a plain mutex, a
// condition variable and a locked flag. (std::timed_mutex locks through
// pthread_mutex_clocklock, which the thread sanitizer does not follow.)
// Meets the Lockable and TimedLockable requirements, so std::unique_lock
// and std::lock_guard (with std::adopt_lock) work with it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace base {

class DeadlineMutex {
 public:
  // False when the mutex is still held at the deadline.
  bool try_lock_until(std::chrono::steady_clock::time_point deadline);
  template <typename Rep, typename Period>
  bool try_lock_for(std::chrono::duration<Rep, Period> wait) {
    return try_lock_until(std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait));
  }
  bool try_lock();
  void lock();
  void unlock();

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool locked_ = false;
};

}  // namespace base
