// The scratch pool lends each object to one holder at a time, keeps what
// comes back (with the memory it grew) for the next loan, and frees what
// is beyond its idle bound; under threads no object is lent twice at once.
#include "base/scratch_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Scratch {
  std::vector<int> values;
  std::atomic<int> holders{0};
};

TEST(BaseScratchPoolTest, AnObjectComesBackWithItsMemoryAndIsLentToOneHolderAtATime) {
  base::ScratchPool<Scratch> pool;
  const Scratch* first = nullptr;
  {
    auto lease = pool.Take();
    lease->values.assign(1000, 7);
    first = &*lease;
    auto second = pool.Take();
    EXPECT_NE(&*second, first) << "an object lent while it was held";
  }
  EXPECT_EQ(pool.IdleCount(), 2u);
  // The last given back is lent first: its arrays are the warmest.
  auto again = pool.Take();
  auto other = pool.Take();
  EXPECT_TRUE(&*again == first || &*other == first);
  const Scratch& kept = &*again == first ? *again : *other;
  EXPECT_EQ(kept.values.size(), 1000u) << "the memory it grew was not kept";
}

TEST(BaseScratchPoolTest, KeepsAtMostItsIdleBound) {
  base::ScratchPool<Scratch> pool;
  {
    std::vector<base::ScratchPool<Scratch>::Lease> held;
    for (std::size_t i = 0; i < base::ScratchPool<Scratch>::kIdle + 10; ++i) held.push_back(pool.Take());
  }
  EXPECT_EQ(pool.IdleCount(), base::ScratchPool<Scratch>::kIdle);
}

TEST(BaseScratchPoolTest, ThreadsThatComeAndGoNeverShareAnObject) {
  base::ScratchPool<Scratch> pool;
  std::atomic<int> shared{0};
  // Threads made and ended again and again, as the loops without oneTBB
  // make them: what a thread held goes back to the pool, not away with it.
  for (int round = 0; round < 20; ++round) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) {
          auto lease = pool.Take();
          if (lease->holders.fetch_add(1) != 0) shared.fetch_add(1);
          lease->values.push_back(i);
          lease->holders.fetch_sub(1);
        }
      });
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(shared.load(), 0);
  EXPECT_LE(pool.IdleCount(), 4u) << "more objects than threads ever held at once";
}

}  // namespace
