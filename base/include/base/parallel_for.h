// A parallel loop that the thread sanitizer can check. Normally oneTBB runs
// it; under ThreadSanitizer it runs on plain threads, because oneTBB
// synchronises inside an uninstrumented library and the sanitizer would flag
// its task hand-over instead of checking the loop body, which is what
// matters. oneTBB stays out of this header.
#pragma once

#include <cstddef>

namespace base {

// Calls body(begin, end) for disjoint ranges that cover [0, count), on
// several threads; returns when all are done. count 0 calls nothing.
using RangeBody = void (*)(void* context, std::size_t begin, std::size_t end);
void ParallelForRanges(std::size_t count, RangeBody body, void* context);

// body(i) for every i < count, in parallel, in no defined order. The body
// must not throw.
template <typename Body>
void ParallelFor(std::size_t count, const Body& body) {
  ParallelForRanges(
      count,
      [](void* context, std::size_t begin, std::size_t end) {
        const Body& each = *static_cast<const Body*>(context);
        for (std::size_t i = begin; i != end; ++i) each(i);
      },
      const_cast<void*>(static_cast<const void*>(&body)));
}

}  // namespace base
