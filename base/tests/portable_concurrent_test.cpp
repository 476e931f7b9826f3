// base's own concurrent containers (the Windows build's, where oneTBB is
// missing), tested on every platform: writers insert while readers find and
// walk, and every element a reader reaches is whole.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/portable_concurrent.h"

TEST(PortableConcurrentTest, MapInsertsOnceFindsAndErasesAnyElement) {
  base::ConcurrentMap<std::uint32_t, std::string> map;
  EXPECT_TRUE(map.emplace(1u, "one").second);
  EXPECT_TRUE(map.emplace(2u, "two").second);
  EXPECT_TRUE(map.emplace(3u, "three").second);
  // A second insert of a key keeps the first value.
  auto again = map.emplace(2u, "deux");
  EXPECT_FALSE(again.second);
  EXPECT_EQ(again.first->second, "two");
  map[4] = "four";
  map[4] += "!";
  EXPECT_EQ(map.size(), 4u);
  EXPECT_EQ(map.find(4)->second, "four!");
  EXPECT_TRUE(map.find(9) == map.end());

  // Erasing the newest, the oldest and a middle element keeps the walk whole.
  EXPECT_EQ(map.unsafe_erase(4), 1u);
  EXPECT_EQ(map.unsafe_erase(1), 1u);
  EXPECT_EQ(map.unsafe_erase(1), 0u);
  std::set<std::uint32_t> keys;
  for (const auto& [key, value] : map) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::uint32_t>{2, 3}));
  EXPECT_EQ(map.unsafe_erase(2), 1u);
  keys.clear();
  for (const auto& [key, value] : map) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::uint32_t>{3}));
  map.clear();
  EXPECT_TRUE(map.empty());
  EXPECT_TRUE(map.begin() == map.end());
}

TEST(PortableConcurrentTest, ReadersSeeWholeElementsWhileWritersInsert) {
  constexpr std::uint32_t kPerWriter = 20000;
  base::ConcurrentMap<std::uint32_t, std::uint64_t> map;
  base::ConcurrentSet<std::uint32_t> set;
  std::atomic<int> writersLeft{2};
  std::atomic<bool> torn{false};
  auto writer = [&](std::uint32_t first) {
    for (std::uint32_t i = first; i < first + kPerWriter; ++i) {
      map.emplace(i, std::uint64_t{i} * 3);
      set.insert(i);
    }
    --writersLeft;
  };
  auto reader = [&] {
    while (writersLeft.load() > 0) {
      for (const auto& [key, value] : map)
        if (value != std::uint64_t{key} * 3) torn = true;
      for (std::uint32_t probe = 0; probe < 2 * kPerWriter; probe += 997) {
        auto found = map.find(probe);
        if (found != map.end() && found->second != std::uint64_t{probe} * 3) torn = true;
      }
    }
  };
  std::thread a(writer, 0), b(writer, kPerWriter), r(reader);
  a.join();
  b.join();
  r.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(map.size(), 2 * kPerWriter);
  EXPECT_EQ(set.size(), 2 * kPerWriter);
  std::size_t walked = 0;
  for (std::uint32_t key : set) walked += key < 2 * kPerWriter ? 1 : 0;
  EXPECT_EQ(walked, 2 * kPerWriter);
}

TEST(PortableConcurrentTest, VectorKeepsElementsInPlaceAcrossSegments) {
  base::ConcurrentVector<std::uint64_t> vector;
  std::vector<const std::uint64_t*> addresses;
  // Past several segment edges (8, 16, 32, ...): nothing moves.
  for (std::uint64_t i = 0; i < 1000; ++i) addresses.push_back(&*vector.push_back(i * 7));
  ASSERT_EQ(vector.size(), 1000u);
  for (std::size_t i = 0; i < 1000; ++i) {
    EXPECT_EQ(addresses[i], &vector[i]);
    EXPECT_EQ(vector[i], i * 7);
  }
  std::uint64_t sum = 0;
  for (std::uint64_t v : vector) sum += v;
  EXPECT_EQ(sum, 7u * 999u * 1000u / 2);

  // Two threads pushing at once: every value lands once.
  base::ConcurrentVector<std::uint32_t> shared;
  auto pusher = [&](std::uint32_t first) {
    for (std::uint32_t i = first; i < first + 5000; ++i) shared.push_back(i);
  };
  std::thread x(pusher, 0), y(pusher, 5000);
  x.join();
  y.join();
  std::set<std::uint32_t> seen(shared.begin(), shared.end());
  EXPECT_EQ(seen.size(), 10000u);
  EXPECT_EQ(*seen.rbegin(), 9999u);
}
