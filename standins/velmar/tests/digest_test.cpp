// The surface digest names what a renderer draws: the same triangles in
// another layout (triangle order, merge order, vertex numbering and sharing,
// the corner a triangle starts at) give the same digest; a change to any
// drawn value (a position, a normal, a texture coordinate, the winding, a
// triangle more or less) gives another.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "surface_digest.h"
#include "tools/link_writer.h"

using velmar::Geometry;
using velmar::GeometryDigest;

namespace {

struct Corner {
  float p[3], n[3], t[2];
};

// Each triangle with vertices of its own (nothing shared).
Geometry Unshared(const std::vector<std::array<Corner, 3>>& triangles) {
  Geometry g;
  for (const auto& triangle : triangles)
    for (const Corner& c : triangle) {
      g.indices.push_back(static_cast<std::uint32_t>(g.vertexCount()));
      g.positions.insert(g.positions.end(), c.p, c.p + 3);
      g.normals.insert(g.normals.end(), c.n, c.n + 3);
      g.texCoords.insert(g.texCoords.end(), c.t, c.t + 2);
    }
  return g;
}

std::vector<std::array<Corner, 3>> Triangles(const Geometry& g) {
  std::vector<std::array<Corner, 3>> out;
  for (std::size_t i = 0; i < g.indices.size(); i += 3) {
    std::array<Corner, 3> t;
    for (int k = 0; k < 3; ++k) {
      const std::size_t v = g.indices[i + k];
      std::copy_n(&g.positions[v * 3], 3, t[k].p);
      std::copy_n(&g.normals[v * 3], 3, t[k].n);
      std::copy_n(&g.texCoords[v * 2], 2, t[k].t);
    }
    out.push_back(t);
  }
  return out;
}

// The triangles the test publisher would write, as velmar holds them.
Geometry Held(const velmar_test::Surface& s) {
  Geometry g;
  for (const velmar_test::Vertex& v : s.vertices) {
    g.positions.insert(g.positions.end(), v.p, v.p + 3);
    g.normals.insert(g.normals.end(), v.n, v.n + 3);
    g.texCoords.insert(g.texCoords.end(), v.t, v.t + 2);
  }
  g.indices = s.indices;
  return g;
}

Geometry Box(float x0, float x1) {
  velmar_test::Surface s;
  const float a[3] = {x0, 0, 2}, b[3] = {x1, 1, 3};
  velmar_test::AddBox(s, a, b);
  return Held(s);
}

}  // namespace

TEST(PeerDigestTest, TheSameTrianglesInAnotherLayoutGiveTheSameDigest) {
  // Box then wall, shared vertices (four per quad).
  velmar_test::Surface both, quad;
  const float a[3] = {-0.5f, 0, 2}, b[3] = {0.5f, 1, 3};
  const float corners[4][3] = {{-2, 0, 5}, {-2, 3, 5}, {2, 3, 5}, {2, 0, 5}};
  velmar_test::AddBox(both, a, b);
  velmar_test::AddQuad(both, corners);
  velmar_test::AddQuad(quad, corners);
  const Geometry merged = Held(both), wall = Held(quad);
  const auto boxTriangles = Triangles(Box(-0.5f, 0.5f)), wallTriangles = Triangles(wall);
  const std::uint64_t digest = GeometryDigest(&merged);
  EXPECT_NE(digest, 0u);

  // Wall then box, the triangles reversed, every corner its own vertex, each
  // triangle starting at another corner, -0 where there was 0.
  auto all = wallTriangles;
  all.insert(all.end(), boxTriangles.begin(), boxTriangles.end());
  std::reverse(all.begin(), all.end());
  for (std::size_t i = 0; i < all.size(); ++i) std::rotate(all[i].begin(), all[i].begin() + i % 3, all[i].end());
  Geometry other = Unshared(all);
  for (float& x : other.positions)
    if (x == 0) x = -0.0f;
  EXPECT_EQ(GeometryDigest(&other), digest);

  // Unused vertices (a block's leftovers) draw nothing and count for nothing.
  other.positions.insert(other.positions.end(), {9, 9, 9});
  other.normals.insert(other.normals.end(), {0, 1, 0});
  other.texCoords.insert(other.texCoords.end(), {0, 1});
  EXPECT_EQ(GeometryDigest(&other), digest);

  EXPECT_EQ(GeometryDigest(nullptr), 0u);
  EXPECT_NE(GeometryDigest(&wall), 0u);  // an empty or tiny geometry still has a digest
  Geometry empty;
  EXPECT_NE(GeometryDigest(&empty), 0u);
}

TEST(PeerDigestTest, EveryDrawnChangeGivesAnotherDigest) {
  const Geometry box = Box(-0.5f, 0.5f);
  const std::uint64_t digest = GeometryDigest(&box);
  std::vector<std::uint64_t> seen = {digest};
  auto differs = [&](const Geometry& g, const char* what) {
    const std::uint64_t d = GeometryDigest(&g);
    EXPECT_EQ(std::find(seen.begin(), seen.end(), d), seen.end()) << what;
    seen.push_back(d);
  };
  const std::pair<const char*, std::function<void(Geometry&)>> changes[] = {
      {"a position a little off", [](Geometry& g) { g.positions[4] += 1e-6f; }},
      {"a normal turned", [](Geometry& g) { g.normals[2] = -g.normals[2]; }},  // vertex 0 faces -z
      {"a texture coordinate", [](Geometry& g) { g.texCoords[1] = 0.5f; }},
      {"one triangle wound the other way", [](Geometry& g) { std::swap(g.indices[1], g.indices[2]); }},
      {"a triangle less", [](Geometry& g) { g.indices.resize(g.indices.size() - 3); }},
      {"a triangle twice",
       [](Geometry& g) {
         g.indices.insert(g.indices.end(), {0, 1, 2});
       }},
      {"the box moved", [](Geometry& g) { g = Box(1.5f, 2.5f); }},
      // The same set of corner values, differently assigned: a sum over
      // corners would not see it, a digest per triangle does.
      {"normals swapped between two faces", [](Geometry& g) {
         for (int k = 0; k < 3; ++k) std::swap(g.normals[g.indices[0] * 3 + k], g.normals[g.indices[6] * 3 + k]);
       }}};
  for (const auto& [what, change] : changes) {
    Geometry g = box;
    change(g);
    differs(g, what);
  }
}

// A surface of several pieces digested once whole, then again after a
// change to one vertex, sums only the piece that vertex is in again: its
// digest is still that of the changed surface digested whole, and its bounds
// those of the surface summarised whole.
TEST(PeerDigestTest, ASurfaceSummedAgainInPartsHasTheDigestOfOneSummedWhole) {
  velmar_test::Surface s;
  for (int i = 0; i < 1000; ++i) {  // 12,000 triangles: three pieces
    const float a[3] = {float(i), 0, 2}, b[3] = {i + 0.5f, 1, 3};
    velmar_test::AddBox(s, a, b);
  }
  Geometry g = Held(s);
  velmar::SummarisePieces(g);
  g.revision = 1;
  ASSERT_EQ(g.pieces.size(), 3u);
  Geometry bare = g;  // without pieces: summed anew
  bare.pieces.clear();
  EXPECT_EQ(GeometryDigest(&g), GeometryDigest(&bare));

  // A vertex of the middle piece moved, out past the surface's end.
  const std::size_t v = g.indices[3 * 5000];
  g.positions[3 * v] = 2000;
  g.changed = {{velmar::GeometryArray::kPositions, 3 * v, 1}};
  g.base = 1;
  g.revision = 2;
  velmar::ResummarisePieces(g, g.changed);
  Geometry whole = g;
  velmar::SummarisePieces(whole);
  EXPECT_EQ(GeometryDigest(&g), GeometryDigest(&whole));
  EXPECT_EQ(g.bounds.max, whole.bounds.max);
  EXPECT_EQ(g.bounds.max[0], 2000);
  for (std::size_t p = 0; p < g.pieces.size(); ++p) {
    EXPECT_EQ(g.pieces[p].bounds.min, whole.pieces[p].bounds.min) << p;
    EXPECT_EQ(g.pieces[p].bounds.max, whole.pieces[p].bounds.max) << p;
  }
}
