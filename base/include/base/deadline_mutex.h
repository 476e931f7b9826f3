// A mutex whose lock attempt gives up at a deadline: a plain mutex, a
// condition variable and a locked flag. (std::timed_mutex locks through
// pthread_mutex_clocklock, which the thread sanitizer does not follow.)
// Meets the Lockable and TimedLockable requirements, so std::unique_lock
// and std::lock_guard (with std::adopt_lock) work with it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace base {

//
// A capability for the thread-safety analysis; its own functions are the
// lock's implementation, which the analysis does not look into.
class CAPABILITY("mutex") DeadlineMutex {
 public:
  // False when the mutex is still held at the deadline.
  [[nodiscard]] bool try_lock_until(std::chrono::steady_clock::time_point deadline)
      TRY_ACQUIRE(true) NO_THREAD_SAFETY_ANALYSIS;
  template <typename Rep, typename Period>
  [[nodiscard]] bool try_lock_for(std::chrono::duration<Rep, Period> wait) TRY_ACQUIRE(true) NO_THREAD_SAFETY_ANALYSIS {
    return try_lock_until(std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait));
  }
  [[nodiscard]] bool try_lock() TRY_ACQUIRE(true) NO_THREAD_SAFETY_ANALYSIS;
  void lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS;
  void unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS;

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool locked_ = false;
};

// Frees a DeadlineMutex that a successful try_lock took, at the end of the
// scope (std::lock_guard with std::adopt_lock, in a form the analysis
// follows).
class SCOPED_CAPABILITY DeadlineMutexHold {
 public:
  DeadlineMutexHold(DeadlineMutex& mutex, std::adopt_lock_t) REQUIRES(mutex) : mutex_(mutex) {}
  ~DeadlineMutexHold() RELEASE() NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }
  DeadlineMutexHold(const DeadlineMutexHold&) = delete;
  DeadlineMutexHold& operator=(const DeadlineMutexHold&) = delete;

 private:
  DeadlineMutex& mutex_;
};

}  // namespace base
