#include "base/deadline_mutex.h"

namespace base {

bool DeadlineMutex::try_lock_until(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (!released_.wait_until(hold, deadline, [this] { return !locked_; })) return false;
  locked_ = true;
  return true;
}

bool DeadlineMutex::try_lock() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (locked_) return false;
  locked_ = true;
  return true;
}

void DeadlineMutex::lock() {
  std::unique_lock<std::mutex> hold(mutex_);
  released_.wait(hold, [this] { return !locked_; });
  locked_ = true;
}

void DeadlineMutex::unlock() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    locked_ = false;
  }
  released_.notify_one();
}

}  // namespace base
