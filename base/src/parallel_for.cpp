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

#ifndef CORV_THREAD_SANITIZER
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
#ifdef CORV_THREAD_SANITIZER
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
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      body(context, range.begin(), range.end());
                    });
#endif
}

}  // namespace base
