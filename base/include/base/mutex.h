// A mutex the thread-safety analysis knows (std::mutex of the standard
// library carries no annotations), and the lock that holds it for a scope
// and lets a condition variable wait with it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace base {

// The lock's own implementation is the one place the analysis cannot look
// into: it is the capability.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() NO_THREAD_SAFETY_ANALYSIS { mutex_.lock(); }
  void unlock() RELEASE() NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds the mutex from construction to destruction. The waits give it up
// while they sleep and hold it again when they return, as the standard
// condition variable does; the caller checks its condition in a loop.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) NO_THREAD_SAFETY_ANALYSIS : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() NO_THREAD_SAFETY_ANALYSIS {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Wait(std::condition_variable& cv) { cv.wait(lock_); }
  // False when the deadline passed (the caller looks at its condition
  // again either way).
  bool WaitUntil(std::condition_variable& cv, std::chrono::steady_clock::time_point deadline) {
    return cv.wait_until(lock_, deadline) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace base
