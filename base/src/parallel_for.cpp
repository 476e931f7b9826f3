#include "base/parallel_for.h"

#include <algorithm>
#include <atomic>
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

void ParallelForRanges(std::size_t count, RangeBody body, void* context) {
  if (count == 0) return;
  if (count == 1) {
    body(context, 0, 1);
    return;
  }
#ifdef CORV_OWN_THREADS
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < count; i = next++) body(context, i, i + 1);
  };
  const std::size_t threads =
      std::min<std::size_t>(count, std::max(1u, std::min(4u, std::thread::hardware_concurrency())));
  std::vector<std::thread> pool(threads);
  for (auto& thread : pool) thread = std::thread(worker);
  for (auto& thread : pool) thread.join();
#else
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                    [&](const tbb::blocked_range<std::size_t>& range) { body(context, range.begin(), range.end()); });
#endif
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
