// Scratch objects lent to whichever thread needs one, kept between loans so
// that their arrays keep their memory: the work that uses them runs over
// tens of thousands of small items, and fresh arrays for each would spend
// more time in the allocator than in the work.
//
// Why not thread_local: the parallel loops run on threads made for the loop
// where oneTBB is missing (the Windows build, the thread sanitizer), and
// there a thread_local object's destructor runs at every thread's end. With
// MinGW-w64 in a DLL it runs after the thread's emulated TLS block is freed,
// and frees arrays out of freed memory: the heap is corrupted and the host
// crashes later, elsewhere. A pool has no per-thread end.
//
// Threads: Take and a Lease's end may be called from any thread.
// Failure: Take throws std::bad_alloc when no object is idle and a new one
// cannot be made; giving one back never throws (beyond kIdle idle objects it
// is freed instead).
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace base {

template <typename T>
class ScratchPool {
 public:
  static constexpr std::size_t kIdle = 64;

  // One object, the caller's alone until the lease ends.
  class Lease {
   public:
    Lease(ScratchPool& pool, std::unique_ptr<T> object) : pool_(&pool), object_(std::move(object)) {}
    ~Lease() {
      if (object_) pool_->GiveBack(std::move(object_));
    }
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    T& operator*() const { return *object_; }
    T* operator->() const { return object_.get(); }

   private:
    ScratchPool* pool_;
    std::unique_ptr<T> object_;
  };

  ScratchPool() { idle_.reserve(kIdle); }
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;

  [[nodiscard]] Lease Take() {
    {
      MutexLock lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<T> object = std::move(idle_.back());
        idle_.pop_back();
        return Lease(*this, std::move(object));
      }
    }
    return Lease(*this, std::make_unique<T>());
  }

  std::size_t IdleCount() {
    MutexLock lock(mutex_);
    return idle_.size();
  }

 private:
  void GiveBack(std::unique_ptr<T> object) noexcept {
    {
      MutexLock lock(mutex_);
      // The room was reserved at construction: this push never allocates.
      if (idle_.size() < kIdle) {
        idle_.push_back(std::move(object));
        return;
      }
    }
    object.reset();
  }

  Mutex mutex_;
  std::vector<std::unique_ptr<T>> idle_ GUARDED_BY(mutex_);
};

}  // namespace base
