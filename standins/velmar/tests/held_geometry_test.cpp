// A surface followed through edits that change its counts (meshes removed,
// added and resized at random places, some using another mesh's vertices,
// some damaged), each block read by one HeldGeometry as velmar follows a
// link and by a fresh one that reads it whole: both must take or refuse the
// same blocks, hold the same arrays, bounds and digest, and every piece the
// follower kept or made must summarise its own triangles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "geometry_block.h"
#include "livelink/layout.h"
#include "sanitized_build.h"
#include "scene.h"
#include "surface_digest.h"

using namespace velmar;

namespace {

struct Mesh {
  std::vector<float> positions, normals, texCoords;  // 3, 3, 2 per vertex
  // Indices into the mesh's own vertices; kForeign + k names the surface's
  // vertex k, whichever mesh holds it then (a publisher is free to share
  // vertices, and a renderer must not take a moved index for a kept one).
  std::vector<std::uint32_t> indices;
  int shares = 0;  // uses a vertex of the surface's, for so many more rounds
};
constexpr std::uint32_t kForeign = 1u << 30;

// New triangles over the mesh's own vertices (its vertex count kept), one of
// them using the surface's vertex `foreign` when that is set.
void Triangulate(std::mt19937& random, Mesh& m, std::uint32_t foreign = 0) {
  const std::size_t vertices = m.positions.size() / 3;
  m.indices.clear();
  for (int i = 0, n = 3 * (1 + int(random() % 120)); i < n; ++i)
    m.indices.push_back(std::uint32_t(random() % vertices));
  if (foreign != 0) m.indices[random() % m.indices.size()] = kForeign + foreign;
  m.shares = foreign != 0 ? 2 : 0;
}

Mesh RandomMesh(std::mt19937& random, std::uint32_t foreign, int vertices = 0) {
  Mesh m;
  if (vertices == 0) vertices = 3 + int(random() % 60);
  auto value = [&] { return float(int(random() % 2001) - 1000) / 8; };
  for (int v = 0; v < vertices; ++v) {
    for (int k = 0; k < 3; ++k) m.positions.push_back(value()), m.normals.push_back(value() / 125);
    m.texCoords.push_back(value() / 1000), m.texCoords.push_back(value() / 1000);
  }
  Triangulate(random, m, foreign);
  return m;
}

// The block a publisher writes for these meshes, merged in order; bad, when
// set, damages one index (past the vertices) or one point (not finite) of
// the mesh of that number.
std::vector<std::uint8_t> MergedBlock(const std::vector<Mesh>& meshes, int bad = -1, bool badIndex = true) {
  std::vector<float> positions, normals, texCoords;
  std::vector<std::uint32_t> indices;
  std::uint32_t total = 0;
  for (const Mesh& m : meshes) total += std::uint32_t(m.positions.size() / 3);
  for (std::size_t k = 0; k < meshes.size(); ++k) {
    const Mesh& m = meshes[k];
    const auto base = std::uint32_t(positions.size() / 3);
    positions.insert(positions.end(), m.positions.begin(), m.positions.end());
    normals.insert(normals.end(), m.normals.begin(), m.normals.end());
    texCoords.insert(texCoords.end(), m.texCoords.begin(), m.texCoords.end());
    for (std::uint32_t i : m.indices) indices.push_back(i >= kForeign ? (i - kForeign) % total : i + base);
    if (int(k) == bad && badIndex) indices[indices.size() - 2] = 1u << 28;
    if (int(k) == bad && !badIndex) positions[positions.size() - 4] = NAN;
  }
  const auto v = std::uint32_t(positions.size() / 3), n = std::uint32_t(indices.size());
  const auto layout = CorvantaAPI::GeometryLayout(v, n, 1);
  std::vector<std::uint8_t> block(layout.totalBytes);
  const CorvantaAPI::GeometryBlockHeader header{v, n, 1};
  std::memcpy(block.data(), &header, sizeof header);
  std::memcpy(block.data() + layout.positions, positions.data(), 4 * positions.size());
  std::memcpy(block.data() + layout.normals, normals.data(), 4 * normals.size());
  std::memcpy(block.data() + layout.texCoords, texCoords.data(), 4 * texCoords.size());
  std::memcpy(block.data() + layout.indices, indices.data(), 4 * indices.size());
  return block;
}

// Each piece's span, bounds and digest share are those of its own triangles
// summarised alone.
void ExpectPiecesSummariseTheirTriangles(const Geometry& g, int round) {
  ASSERT_TRUE(PiecesCover(g)) << "round " << round;
  for (std::size_t p = 0; p < g.pieces.size(); ++p) {
    const GeometryPiece& piece = g.pieces[p];
    Geometry alone = g;
    alone.indices.assign(g.indices.begin() + 3 * piece.firstTriangle,
                         g.indices.begin() + 3 * (piece.firstTriangle + piece.triangles));
    alone.pieces.clear();
    const std::uint64_t fresh = GeometryDigest(&alone);
    const auto [low, high] = std::minmax_element(alone.indices.begin(), alone.indices.end());
    const Bounds bounds = UsedBounds(alone);
    GeometryPiece moved = piece;
    moved.firstTriangle = 0;
    alone.pieces = {moved};
    EXPECT_EQ(GeometryDigest(&alone), fresh) << "round " << round << ", piece " << p;
    EXPECT_TRUE(piece.firstVertex == *low && piece.lastVertex == *high && piece.bounds.min == bounds.min &&
                piece.bounds.max == bounds.max)
        << "round " << round << ", piece " << p;
  }
}

}  // namespace

TEST(HeldGeometry, ASurfaceWhoseCountsChangeIsFollowedAsIfReadWhole) {
  std::mt19937 random(41);
  std::vector<Mesh> meshes;
  for (int k = 0; k < 500; ++k) meshes.push_back(RandomMesh(random, 0));  // about 30,000 triangles: 8 pieces
  HeldGeometry followed;
  int kept = 0, refused = 0;
  const int rounds = testsupport::kSanitizedBuild ? 60 : 150;
  for (int round = 0; round < rounds; ++round) {
    // One or two meshes removed, added, replaced, or given other triangles
    // over the same vertices (the vertex count stays); anywhere, or at the
    // ends. A few use a vertex of the surface's, which lies in the first
    // few meshes (before most edits) or anywhere, through the next round's
    // edits; not longer, or every piece behind them would stay unkeepable.
    for (Mesh& m : meshes)
      if (m.shares > 0 && --m.shares == 0) Triangulate(random, m);
    for (int edits = 1 + int(random() % 2); edits > 0; --edits) {
      const std::size_t at = random() % 4 == 0 ? (random() % 2 ? 0 : meshes.size() - 1) : random() % meshes.size();
      const std::uint32_t foreign = random() % 3 != 0 ? 0 : 1 + std::uint32_t(random() % (random() % 3 ? 20000 : 60));
      switch (random() % 5) {
        case 0:
          if (meshes.size() > 2) meshes.erase(meshes.begin() + long(at));
          break;
        case 1: meshes.insert(meshes.begin() + long(at), RandomMesh(random, foreign)); break;
        case 2: meshes[at] = RandomMesh(random, foreign); break;
        case 3:  // new vertices, as many: the vertices behind stay where they were
          meshes[at] = RandomMesh(random, foreign, int(meshes[at].positions.size() / 3));
          break;
        default: Triangulate(random, meshes[at], foreign); break;
      }
    }
    const int bad = random() % 8 == 0 ? int(random() % meshes.size()) : -1;
    const std::vector<std::uint8_t> block = MergedBlock(meshes, bad, random() % 2 == 0);
    // Half the rounds, someone holds the current geometry (as the live view
    // does while it sends it).
    std::shared_ptr<const Geometry> holder = round % 2 ? followed.current() : nullptr;
    const Geometry* unheld = holder ? nullptr : followed.current().get();
    const Geometry before = holder ? *holder : Geometry();
    bool changed = false, freshChanged = false;
    std::string field, error, freshField, freshError;
    std::size_t repaired = 0, freshRepaired = 0;
    const bool ok = followed.Read(block.data(), block.size(), &changed, &field, &error, &repaired);
    HeldGeometry fresh;
    const bool freshOk =
        fresh.Read(block.data(), block.size(), &freshChanged, &freshField, &freshError, &freshRepaired);
    ASSERT_EQ(ok, freshOk) << "round " << round << ": " << field << " " << error << " / " << freshField;
    if (holder) {
      EXPECT_TRUE(holder->positions == before.positions && holder->indices == before.indices) << "round " << round;
    }
    if (!ok) {
      EXPECT_EQ(std::pair(field, error), std::pair(freshField, freshError)) << "round " << round;
      ++refused;
      continue;
    }
    const Geometry& now = *followed.current();
    const Geometry& expected = *fresh.current();
    ASSERT_TRUE(now.positions == expected.positions && now.normals == expected.normals &&
                now.texCoords == expected.texCoords && now.indices == expected.indices)
        << "round " << round;
    EXPECT_TRUE(now.bounds.min == expected.bounds.min && now.bounds.max == expected.bounds.max) << "round " << round;
    EXPECT_EQ(GeometryDigest(&now), GeometryDigest(&expected)) << "round " << round;
    ASSERT_NO_FATAL_FAILURE(ExpectPiecesSummariseTheirTriangles(now, round));
    // A geometry nobody else held, still the same object: its ends were
    // kept where they lay (a read whole goes into the other copy).
    if (&now == unheld) ++kept;
  }
  // The rounds did go both ways: blocks refused, and ends kept where they
  // did not change.
  EXPECT_GT(refused, 0);
  EXPECT_GT(kept, 8) << kept << " " << refused;
}

// The ends are kept only where the vertices their triangles use stayed
// what they were: a front triangle that uses a vertex behind the change
// (which now holds another), or a back triangle that uses a vertex of the
// changed mesh under the same vertex count, is read again.
TEST(HeldGeometry, KeptEndsAreThoseWhoseVerticesStayed) {
  std::mt19937 random(7);
  std::vector<Mesh> meshes;
  constexpr int kMeshes = 801, kMiddle = 400;  // about 48,000 triangles: 12 pieces
  for (int k = 0; k < kMeshes; ++k) meshes.push_back(RandomMesh(random, 0));
  std::vector<std::uint32_t> first(kMeshes, 0);
  for (int k = 1; k < kMeshes; ++k) first[k] = first[k - 1] + std::uint32_t(meshes[k - 1].positions.size() / 3);
  // A few pieces from the middle (the surface still mostly kept).
  meshes[kMiddle - 100].indices[0] = kForeign + first[700];      // the front uses a vertex of the back
  meshes[kMiddle + 100].indices[0] = kForeign + first[kMiddle];  // the back uses a vertex of the middle
  HeldGeometry followed;
  bool changed = false;
  std::string field, error;
  ASSERT_TRUE(followed.Read(MergedBlock(meshes).data(), MergedBlock(meshes).size(), &changed, &field, &error, nullptr));
  // More vertices in the middle: the front's vertex of the back is another
  // vertex now. The same number of new vertices: the back's vertex of the
  // middle holds another point.
  for (int grow : {7, 0}) {
    meshes[kMiddle] = RandomMesh(random, 0, int(meshes[kMiddle].positions.size() / 3) + grow);
    const std::vector<std::uint8_t> block = MergedBlock(meshes);
    const Geometry* before = followed.current().get();
    ASSERT_TRUE(followed.Read(block.data(), block.size(), &changed, &field, &error, nullptr));
    HeldGeometry fresh;
    ASSERT_TRUE(fresh.Read(block.data(), block.size(), &changed, &field, &error, nullptr));
    const Geometry& now = *followed.current();
    EXPECT_EQ(&now, before) << "grow " << grow << ": read whole, nothing kept";
    EXPECT_EQ(GeometryDigest(&now), GeometryDigest(fresh.current().get())) << "grow " << grow;
    ASSERT_NO_FATAL_FAILURE(ExpectPiecesSummariseTheirTriangles(now, grow));
  }
}

// A change read while another holds the geometry goes into a second copy
// and leaves the held one as it was; that copy is let go once nobody holds
// it, and the next change is made in place again.
TEST(HeldGeometry, ASecondCopyLastsOnlyWhileTheGeometryIsHeld) {
  std::mt19937 random(7);
  std::vector<Mesh> meshes = {RandomMesh(random, 0, 40), RandomMesh(random, 0, 40)};
  HeldGeometry held;
  bool changed = false;
  std::string field, error;
  auto read = [&] {
    const std::vector<std::uint8_t> block = MergedBlock(meshes);
    return held.Read(block.data(), block.size(), &changed, &field, &error, nullptr);
  };
  ASSERT_TRUE(read());

  std::shared_ptr<const Geometry> holder = held.current();
  const std::uint64_t before = GeometryDigest(holder.get());
  meshes[1].positions[5] += 1;
  ASSERT_TRUE(read() && changed);
  EXPECT_EQ(held.copies(), 1u);
  EXPECT_NE(held.current().get(), holder.get());
  EXPECT_EQ(GeometryDigest(holder.get()), before) << "the held geometry was changed under its holder";

  const std::weak_ptr<const Geometry> old = holder;
  held.Trim();
  EXPECT_FALSE(old.expired()) << "let go while still held";
  holder.reset();
  EXPECT_FALSE(old.expired()) << "the second copy is kept until trimmed";
  held.Trim();
  EXPECT_TRUE(old.expired());

  const Geometry* current = held.get();
  meshes[0].positions[2] -= 1;
  ASSERT_TRUE(read() && changed);
  EXPECT_EQ(held.get(), current);
  EXPECT_EQ(held.copies(), 1u);
}
