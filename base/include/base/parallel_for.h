// A parallel loop that the thread sanitizer can check. Normally oneTBB runs
// it; under ThreadSanitizer it runs on plain threads, because oneTBB
// synchronises inside an uninstrumented library and the sanitizer would flag
// its task hand-over instead of checking the loop body, which is what
// matters. oneTBB stays out of this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace base {

// Calls body(begin, end) for disjoint ranges that cover [0, count), on
// several threads; returns when all are done. count 0 calls nothing. When a
// range throws, the ranges not yet begun are skipped and the first
// exception is thrown to the caller once every begun range has ended.
using RangeBody = void (*)(void* context, std::size_t begin, std::size_t end);
void ParallelForRanges(std::size_t count, RangeBody body, void* context);

// body(i) for every i < count, in parallel, in no defined order. A body
// that throws ends its range there; the first exception reaches the caller
// as ParallelForRanges says.
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

// The order in which ParallelForLargestFirst visits count items of these
// costs: the items that stand out (each more than a 64th of the whole),
// largest first, then every other item in index order.
std::vector<std::size_t> LargestFirstOrder(const std::vector<std::uint64_t>& costs);

// body(i) for every i < count, in parallel, as ParallelFor, but the items
// whose cost(i) stands out run first. A large item reached last (the ground
// of a building, read at the end of its file) would run alone while the
// other threads wait; started first, the small ones fill in around it.
template <typename Cost, typename Body>
void ParallelForLargestFirst(std::size_t count, const Cost& cost, const Body& body) {
  std::vector<std::uint64_t> costs(count);
  for (std::size_t i = 0; i < count; ++i) costs[i] = cost(i);
  const std::vector<std::size_t> order = LargestFirstOrder(costs);
  ParallelFor(order.size(), [&](std::size_t k) { body(order[k]); });
}

}  // namespace base
