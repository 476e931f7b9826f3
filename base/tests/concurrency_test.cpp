// The deadline mutex and the parallel loop under real threads (run under
// ThreadSanitizer as well).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/deadline_mutex.h"
#include "base/file_time.h"
#include "base/parallel_for.h"

using namespace std::chrono_literals;

// These tests drive the deadline mutex's protocol by hand (a try_lock while
// it is held, an unlock on another thread than the lock), which the
// thread-safety analysis rightly calls unbalanced.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

TEST(BaseDeadlineMutexTest, GivesUpAtTheDeadlineAndHandsOverOnUnlock) {
  base::DeadlineMutex mutex;
  ASSERT_TRUE(mutex.try_lock());
  EXPECT_FALSE(mutex.try_lock());

  std::atomic<bool> gaveUp{false};
  std::thread waiter([&] {
    const auto start = std::chrono::steady_clock::now();
    const bool got = mutex.try_lock_for(30ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    gaveUp = !got && waited >= 30ms && waited < 5s;
  });
  waiter.join();
  EXPECT_TRUE(gaveUp);

  // A waiter with time to spare gets the mutex once it is released.
  std::atomic<bool> got{false};
  std::thread taker([&] {
    got = mutex.try_lock_for(10s);
    if (got) mutex.unlock();
  });
  std::this_thread::sleep_for(20ms);
  mutex.unlock();
  taker.join();
  EXPECT_TRUE(got);

  // lock() and lock_guard exclude each other: no increment is lost.
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        std::lock_guard<base::DeadlineMutex> hold(mutex);
        ++counter;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 4000);
}

TEST(BaseParallelForTest, VisitsEveryIndexExactlyOnce) {
  for (std::size_t count : {0u, 1u, 2u, 3u, 1000u, 100000u}) {
    std::vector<std::atomic<int>> visits(count);
    base::ParallelFor(count, [&](std::size_t i) { visits[i].fetch_add(1); });
    std::size_t wrong = 0;
    for (auto& v : visits) wrong += v.load() != 1;
    EXPECT_EQ(wrong, 0u) << "count " << count;
  }
}

// A body that throws (an allocation failed) ends its own range; the caller
// gets that exception, the first one when several throw, only after every
// range that began has ended, and no item runs twice.
TEST(BaseParallelForTest, AThrowingBodyReachesTheCallerOnceTheLoopHasEnded) {
  for (std::size_t count : {1u, 2u, 1000u, 100000u}) {
    std::vector<std::atomic<int>> visits(count);
    std::atomic<int> running{0}, thrown{0};
    try {
      base::ParallelFor(count, [&](std::size_t i) {
        running.fetch_add(1);
        visits[i].fetch_add(1);
        if (i % 300 == count / 2 % 300) {
          thrown.fetch_add(1);
          running.fetch_sub(1);
          throw std::runtime_error("item " + std::to_string(i));
        }
        running.fetch_sub(1);
      });
      ADD_FAILURE() << "nothing thrown, count " << count;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("item ", 0), 0u);
    }
    EXPECT_EQ(running.load(), 0) << "a body still ran after the loop returned, count " << count;
    EXPECT_GE(thrown.load(), 1);
    std::size_t twice = 0;
    for (auto& v : visits) twice += v.load() > 1;
    EXPECT_EQ(twice, 0u) << "count " << count;
  }
  // The loop is whole again afterwards.
  std::vector<std::atomic<int>> visits(5000);
  base::ParallelFor(visits.size(), [&](std::size_t i) { visits[i].fetch_add(1); });
  std::size_t wrong = 0;
  for (auto& v : visits) wrong += v.load() != 1;
  EXPECT_EQ(wrong, 0u);
}

TEST(BaseParallelForTest, ItemsThatStandOutComeFirstLargestFirstAndEveryItemOnce) {
  // 64 items of 100, two of them far larger: they hold over a 64th of the
  // whole each, the others under it.
  std::vector<std::uint64_t> costs(64, 100);
  costs[40] = 1000;
  costs[63] = 3000;
  std::vector<std::size_t> expected = {63, 40};
  for (std::size_t i = 0; i < 63; ++i)
    if (i != 40) expected.push_back(i);
  EXPECT_EQ(base::LargestFirstOrder(costs), expected);
  // Nothing stands out among equals: index order; no items, no order.
  EXPECT_EQ(base::LargestFirstOrder({5, 5, 5}), (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_TRUE(base::LargestFirstOrder({}).empty());
  // Every item is visited once, with its own index.
  for (std::size_t count : {0u, 1u, 5u, 10000u}) {
    std::vector<std::atomic<int>> visits(count);
    base::ParallelForLargestFirst(
        count, [](std::size_t i) { return i % 97 == 0 ? 5000u : 1u; }, [&](std::size_t i) { visits[i].fetch_add(1); });
    std::size_t wrong = 0;
    for (auto& v : visits) wrong += v.load() != 1;
    EXPECT_EQ(wrong, 0u) << "count " << count;
  }
}

TEST(BaseFileTimeTest, CountsHundredNanosecondsSince1601) {
  EXPECT_EQ(base::FileTimeFromUnix(0, 0), 116444736000000000ull);
  // 2020-01-01T00:00:00Z, plus 199 ns that do not make a whole unit.
  EXPECT_EQ(base::FileTimeFromUnix(1577836800, 199), 132223104000000001ull);
  EXPECT_EQ(base::FileTimeFromUnix(-11644473600LL, 0), 0u);
  EXPECT_EQ(base::FileTimeFromUnix(-11644473601LL, 0), 0u);  // before 1601: none
}
