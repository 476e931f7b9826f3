#include "base/parallel_for.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CORV_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define CORV_THREAD_SANITIZER 1
#endif

// Without oneTBB (the Windows build: MinGW has none) the loop runs on base's
// own threads, as under the thread sanitizer.
#if defined(CORV_THREAD_SANITIZER) || !defined(CORV_HAVE_TBB)
#define CORV_OWN_THREADS 1
#endif

#ifndef CORV_OWN_THREADS
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#endif

namespace base {

namespace {

// The first exception a range threw, kept for the caller; ranges not yet
// begun are skipped once one is kept.
class FirstFailure {
 public:
  [[nodiscard]] bool Failed() const { return failed_.load(std::memory_order_acquire); }
  void Keep(std::exception_ptr failure) {
    std::lock_guard lock(mutex_);
    if (!first_) first_ = std::move(failure);
    failed_.store(true, std::memory_order_release);
  }
  void RethrowIfAny() {
    if (Failed()) std::rethrow_exception(first_);
  }

 private:
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::exception_ptr first_;
};

}  // namespace

void ParallelForRanges(std::size_t count, RangeBody body, void* context) {
  if (count == 0) return;
  if (count == 1) {
    body(context, 0, 1);
    return;
  }
  // Neither the pool's threads nor oneTBB's tasks may let an exception go:
  // a thread would end the program, and oneTBB's own transport of one from
  // a task is not to be relied on while the allocator fails. The caller
  // gets the first one once every started range has ended.
  FirstFailure failure;
  auto run = [&](std::size_t begin, std::size_t end) {
    if (failure.Failed()) return;
    try {
      body(context, begin, end);
    } catch (...) {
      failure.Keep(std::current_exception());
    }
  };
#ifdef CORV_OWN_THREADS
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < count; i = next++) run(i, i + 1);
  };
  const std::size_t threads =
      std::min<std::size_t>(count, std::max(1u, std::min(4u, std::thread::hardware_concurrency())));
  std::vector<std::thread> pool;
  pool.reserve(threads);
  try {
    for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(worker);
  } catch (...) {
    // No thread to be had: the caller's own does what is left.
    worker();
  }
  for (auto& thread : pool) thread.join();
#else
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                    [&](const tbb::blocked_range<std::size_t>& range) { run(range.begin(), range.end()); });
#endif
  failure.RethrowIfAny();
}

std::vector<std::size_t> LargestFirstOrder(const std::vector<std::uint64_t>& costs) {
  std::uint64_t total = 0;
  for (std::uint64_t c : costs) total += c;
  std::vector<std::size_t> large, order;
  order.reserve(costs.size());
  for (std::size_t i = 0; i < costs.size(); ++i) {
    if (costs[i] > total / 64) {
      large.push_back(i);
    } else {
      order.push_back(i);
    }
  }
  // Largest first; equal costs keep their index order.
  std::stable_sort(large.begin(), large.end(), [&](std::size_t a, std::size_t b) { return costs[a] > costs[b]; });
  order.insert(order.begin(), large.begin(), large.end());
  return order;
}

}  // namespace base
