// Frees replaced model snapshots on a thread of its own. A large model takes
// about as long to free as to copy; an edit hands the old snapshot here so
// that its notification, and the add-ons that react to it, do not wait for
// the free. Destruction frees what is queued and joins the thread.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace host {

class SnapshotReleaser {
 public:
  SnapshotReleaser() : thread_([this] { Run(); }) {}
  ~SnapshotReleaser() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  SnapshotReleaser(const SnapshotReleaser&) = delete;
  SnapshotReleaser& operator=(const SnapshotReleaser&) = delete;

  void Release(std::shared_ptr<const void> object) {
    if (!object) return;
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(object));
    }
    wake_.notify_one();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::vector<std::shared_ptr<const void>> batch;
      batch.swap(queue_);
      lock.unlock();
      batch.clear();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<std::shared_ptr<const void>> queue_;
  bool stop_ = false;
  std::thread thread_;  // last: it runs on the members above
};

}  // namespace host
