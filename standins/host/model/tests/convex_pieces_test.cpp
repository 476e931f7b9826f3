#include "hostmodel/convex_pieces.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

namespace hostmodel {
namespace {

using Lists = std::vector<std::vector<std::int32_t>>;

Lists AsLists(const ConvexPieces& pieces) {
  Lists out;
  for (const auto piece : pieces) out.emplace_back(piece.begin(), piece.end());
  return out;
}

TEST(ConvexPieces, HoldsPiecesOfEveryShapeInOrder) {
  // One small piece (kept inside), one large piece, several pieces, an
  // empty piece among others.
  for (const Lists& lists : {Lists{}, Lists{{0, 1, 2}}, Lists{{3, 2, 1, 0}}, Lists{{0, 1, 2, 3, 4}},
                             Lists{{0, 1, 2}, {0, 2, 3}}, Lists{{7}, {}, {1, 2, 3, 4, 5, 6}}}) {
    const ConvexPieces pieces(lists);
    EXPECT_EQ(AsLists(pieces), lists);
    ASSERT_EQ(pieces.size(), lists.size());
    std::size_t corners = 0;
    for (std::size_t k = 0; k < lists.size(); ++k) {
      EXPECT_EQ(std::vector<std::int32_t>(pieces[k].begin(), pieces[k].end()), lists[k]);
      corners += lists[k].size();
    }
    EXPECT_EQ(pieces.corners(), corners);
    EXPECT_EQ(pieces.empty(), lists.empty());
  }
  const ConvexPieces listed{{0, 1, 2}, {0, 2, 3}};
  EXPECT_EQ(AsLists(listed), (Lists{{0, 1, 2}, {0, 2, 3}}));
}

TEST(ConvexPieces, AssignTakesBackToBackPiecesAndRefusesBrokenEnds) {
  ConvexPieces pieces;
  const std::vector<std::int32_t> corners{0, 1, 2, 0, 2, 3, 4};
  ASSERT_TRUE(pieces.Assign(corners, std::vector<std::uint32_t>{3, 7}));
  EXPECT_EQ(AsLists(pieces), (Lists{{0, 1, 2}, {0, 2, 3, 4}}));
  ASSERT_TRUE(pieces.Assign(std::vector<std::int32_t>{5, 6, 7}, std::vector<std::uint32_t>{3}));
  EXPECT_EQ(AsLists(pieces), (Lists{{5, 6, 7}}));
  // Ends going back, past the corners, short of them, or corners without
  // any piece: nothing is kept.
  for (const auto& ends : {std::vector<std::uint32_t>{4, 3}, std::vector<std::uint32_t>{3, 8},
                           std::vector<std::uint32_t>{3, 6}, std::vector<std::uint32_t>{}}) {
    EXPECT_FALSE(pieces.Assign(corners, ends));
    EXPECT_TRUE(pieces.empty());
    EXPECT_EQ(pieces.corners(), 0u);
  }
}

TEST(ConvexPieces, CopiesAndMovesAreIndependentAndEqualByContent) {
  for (const Lists& lists : {Lists{{0, 1, 2}}, Lists{{0, 1, 2}, {2, 3, 4, 5, 6}}}) {
    ConvexPieces a(lists);
    ConvexPieces b = a;
    EXPECT_EQ(a, b);
    b.push_back({9, 9, 9});
    EXPECT_NE(a, b);
    EXPECT_EQ(AsLists(a), lists);
    ConvexPieces c = std::move(b);
    EXPECT_TRUE(b.empty());  // NOLINT(bugprone-use-after-move): moved-from is defined empty
    EXPECT_EQ(c.size(), lists.size() + 1);
    c = a;
    EXPECT_EQ(c, a);
    c = ConvexPieces(Lists{{4, 5, 6, 7, 8}});
    EXPECT_EQ(AsLists(c), (Lists{{4, 5, 6, 7, 8}}));
  }
  // Same corners cut into different pieces are different.
  EXPECT_NE(ConvexPieces(Lists{{0, 1, 2, 3, 4, 5}}), ConvexPieces(Lists{{0, 1, 2}, {3, 4, 5}}));
  EXPECT_NE(ConvexPieces(Lists{{0, 1, 2}, {3, 4, 5}}), ConvexPieces(Lists{{0, 1, 2, 3}, {4, 5}}));
}

// Random growth, copies, moves and reassignment against a list of lists:
// run under the address sanitizer, this is what finds a wrong size or a
// stale block.
TEST(ConvexPieces, RandomUseMatchesAListOfLists) {
  std::mt19937 rng(7);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::vector<ConvexPieces> held(8);
  std::vector<Lists> expected(8);
  for (int step = 0; step < 20000; ++step) {
    const auto i = static_cast<std::size_t>(pick(0, 7)), j = static_cast<std::size_t>(pick(0, 7));
    switch (pick(0, 5)) {
      case 0: {
        std::vector<std::int32_t> piece(static_cast<std::size_t>(pick(0, 6)));
        for (auto& c : piece) c = pick(0, 1000);
        held[i].push_back(piece);
        expected[i].push_back(piece);
        break;
      }
      case 1:
        held[i] = held[j];
        expected[i] = expected[j];
        break;
      case 2:
        if (i == j) break;  // a list of lists need not survive moving into itself
        held[i] = std::move(held[j]);
        expected[i] = std::move(expected[j]);
        expected[j].clear();
        break;
      case 3:
        held[i].clear();
        expected[i].clear();
        break;
      case 4: {
        std::vector<std::int32_t> corners;
        std::vector<std::uint32_t> ends;
        Lists lists(static_cast<std::size_t>(pick(0, 3)));
        for (auto& piece : lists) {
          piece.resize(static_cast<std::size_t>(pick(0, 5)));
          for (auto& c : piece) c = pick(0, 1000);
          corners.insert(corners.end(), piece.begin(), piece.end());
          ends.push_back(static_cast<std::uint32_t>(corners.size()));
        }
        EXPECT_EQ(held[i].Assign(corners, ends), !lists.empty() || corners.empty());
        expected[i] = lists;
        break;
      }
      default: EXPECT_EQ(held[i] == held[j], expected[i] == expected[j]);
    }
    ASSERT_EQ(AsLists(held[i]), expected[i]) << "step " << step;
  }
}

}  // namespace
}  // namespace hostmodel
