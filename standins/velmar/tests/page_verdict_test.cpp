// The verdict on a page that holds a geometry velmar is about to change,
// at the edges of each rule.
#include <gtest/gtest.h>

#include "page_verdict.h"

using namespace velmar;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

PageProgress Watched(std::uint64_t took, std::uint64_t left, std::uint64_t takenInAll, double idle) {
  return {took, 0.1, left, takenInAll, idle};
}

}  // namespace

TEST(PageVerdict, APageThatTakesNothingIsDroppedUnlessItIsBusyWithWhatItRead) {
  // Never read: what it holds is what the socket buffers took.
  EXPECT_EQ(JudgePage(Watched(0, 400 * kMiB, 12 * kMiB, 0.2)), PageVerdict::kDropStalled);
  EXPECT_EQ(JudgePage(Watched(0, 400 * kMiB, kNeverReadBytes, 0.2)), PageVerdict::kDropStalled);
  // Read a large frame a moment ago, and works on it.
  EXPECT_EQ(JudgePage(Watched(0, 400 * kMiB, kNeverReadBytes + 1, 0.2)), PageVerdict::kKeep);
  EXPECT_EQ(JudgePage(Watched(0, 400 * kMiB, 300 * kMiB, 0.99)), PageVerdict::kKeep);
  // Read much, then stopped.
  EXPECT_EQ(JudgePage(Watched(0, 400 * kMiB, 300 * kMiB, kStalledAfterSeconds)), PageVerdict::kDropStalled);
}

TEST(PageVerdict, APageThatReadsIsKeptWhenItWillBeDoneSoonAtItsPace) {
  // 3.2 MiB in 0.1 s: 32 MiB/s, so 960 MiB within the 30 s.
  EXPECT_EQ(JudgePage(Watched(3277 * 1024, 960 * kMiB, 100 * kMiB, 0)), PageVerdict::kKeep);
  EXPECT_EQ(JudgePage(Watched(3277 * 1024, 961 * kMiB, 100 * kMiB, 0)), PageVerdict::kDropBehind);
  // A trickle is behind for a large surface, not for a few bytes.
  EXPECT_EQ(JudgePage(Watched(1024, 400 * kMiB, 100 * kMiB, 0)), PageVerdict::kDropBehind);
  EXPECT_EQ(JudgePage(Watched(1024, 64 * 1024, 100 * kMiB, 0)), PageVerdict::kKeep);
  // Its history does not excuse a pace too slow.
  EXPECT_EQ(JudgePage(Watched(1, 400 * kMiB, 0, 0)), PageVerdict::kDropBehind);
}
