#include "hostmodel/geometry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>

namespace hostmodel {
namespace {

Vec3 Cross(const Vec3& a, const Vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Signed area of a loop along a normal.
double Area(const std::vector<Vec3>& pts, const std::vector<std::int32_t>& loop, const Vec3& n) {
  Vec3 s{};
  for (std::size_t i = 0; i < loop.size(); ++i) {
    Vec3 c = Cross(pts[static_cast<std::size_t>(loop[i])], pts[static_cast<std::size_t>(loop[(i + 1) % loop.size()])]);
    s = {s.x + c.x, s.y + c.y, s.z + c.z};
  }
  return Dot(s, n) / 2;
}

// Every piece convex with the polygon's winding, the pieces tile the
// polygon's area exactly, and only the polygon's own corners are used.
void ExpectSoundSplit(const std::vector<Vec3>& pts, const std::vector<std::int32_t>& loop, std::size_t maxPieces) {
  Vec3 n = LoopNormal(pts, loop);
  ASSERT_NEAR(Dot(n, n), 1.0, 1e-12);
  auto pieces = SplitConvex(pts, loop);
  ASSERT_FALSE(pieces.empty());
  EXPECT_LE(pieces.size(), maxPieces);
  std::set<std::int32_t> corners(loop.begin(), loop.end());
  double total = 0;
  for (const auto& piece : pieces) {
    ASSERT_GE(piece.size(), 3u);
    EXPECT_TRUE(IsConvexLoop(pts, piece, n));
    double a = Area(pts, piece, n);
    EXPECT_GT(a, 0) << "piece turned over";
    total += a;
    for (std::int32_t v : piece) EXPECT_TRUE(corners.count(v));
  }
  EXPECT_NEAR(total, Area(pts, loop, n), 1e-9);
}

TEST(HostModelGeometry, ConvexLoopsStayWholeAndConcaveOnesSplitIntoConvexPieces) {
  // A square stays one piece, in its own order.
  std::vector<Vec3> sq{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  auto whole = SplitConvex(sq, {0, 1, 2, 3});
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0], (std::vector<std::int32_t>{0, 1, 2, 3}));

  // L shape: concave at one corner; two convex pieces suffice.
  std::vector<Vec3> l{{0, 0, 0}, {4, 0, 0}, {4, 2, 0}, {2, 2, 0}, {2, 4, 0}, {0, 4, 0}};
  ExpectSoundSplit(l, {0, 1, 2, 3, 4, 5}, 2);
  // The same L standing in a tilted plane, wound the other way.
  std::vector<Vec3> tilted;
  for (const Vec3& p : l) tilted.push_back({p.x, p.y * 0.6, p.y * 0.8 + 3});
  ExpectSoundSplit(tilted, {5, 4, 3, 2, 1, 0}, 2);

  // Combs: many reflex corners; the large one must not take long (a
  // thousand teeth, four thousand corners).
  for (int teeth : {5, 1000}) {
    std::vector<Vec3> comb{{0, 0, 0}};
    std::vector<std::int32_t> loop{0};
    for (int t = 0; t < teeth; ++t) {
      double x = 2.0 * t;
      for (Vec3 p : {Vec3{x + 1, 0, 0}, Vec3{x + 1, 3, 0}, Vec3{x + 2, 3, 0}, Vec3{x + 2, 0, 0}}) {
        comb.push_back(p);
        loop.push_back(static_cast<std::int32_t>(comb.size() - 1));
      }
    }
    comb.push_back({2.0 * teeth, -1, 0});
    comb.push_back({0, -1, 0});
    loop.push_back(static_cast<std::int32_t>(comb.size() - 2));
    loop.push_back(static_cast<std::int32_t>(comb.size() - 1));
    // Corner order above runs clockwise; reverse to keep +z.
    std::reverse(loop.begin(), loop.end());
    ExpectSoundSplit(comb, loop, static_cast<std::size_t>(2 * teeth + 2));
  }
}

TEST(HostModelGeometry, DegenerateLoopsYieldNothingAndRepeatsAreDropped) {
  std::vector<Vec3> pts{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {1, 1, 0}, {0, 0, 0}};
  EXPECT_TRUE(SplitConvex(pts, {0, 1, 2}).empty()) << "collinear";
  EXPECT_TRUE(SplitConvex(pts, {0, 1}).empty()) << "two corners";
  EXPECT_TRUE(SplitConvex(pts, {0, 4, 1}).empty()) << "repeated position leaves two corners";
  EXPECT_EQ(LoopNormal(pts, std::vector<std::int32_t>{0, 1, 2}), Vec3{});
  // A repeated corner and a collinear corner inside a triangle still give
  // one clean convex piece.
  auto pieces = SplitConvex(pts, {0, 0, 1, 2, 3, 4});
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_EQ(pieces[0], (std::vector<std::int32_t>{0, 1, 2, 3}));
}

TEST(HostModelGeometry, BodyMakerSharesEqualNormalsAndKeepsPerVertexDataAligned) {
  BodyMaker m;
  auto a = m.AddVertex({0, 0, 0});
  auto b = m.AddVertex({1, 0, 0});
  auto c = m.AddVertex({1, 1, 0}, {0, 0, 1}, {0.5, 0.5});
  auto d = m.AddVertex({0, 1, 0});
  BodyMaker::FaceOptions o;
  EXPECT_TRUE(m.AddFace({a, b, c}, o));
  EXPECT_TRUE(m.AddFace({a, c, d}, o));
  EXPECT_FALSE(m.AddFace({a, b, 9}, o)) << "unknown vertex";
  EXPECT_FALSE(m.AddFace({a, b, a}, o)) << "degenerate";
  const Body& body = m.body();
  EXPECT_EQ(body.polygons.size(), 2u);
  EXPECT_EQ(body.polygonNormals.size(), 1u);
  ASSERT_EQ(body.vertexNormals.size(), 4u);
  ASSERT_EQ(body.texCoords.size(), 4u);
  EXPECT_EQ(body.texCoords[2], (Vec2{0.5, 0.5}));
  // Vertices without a normal of their own report the polygon's.
  EXPECT_EQ(VertexNormal(body, body.polygons[0], a), (Vec3{0, 0, 1}));
}

// Faces of every kind (clean or with repeats, convex or not, flat or
// degenerate, some sharing a normal) made one by one: each polygon holds
// exactly what splitting its loop gives, under the loop's own normal, and
// every distinct normal is held once, in order of first use.
TEST(HostModelGeometry, BodyMakerFacesMatchSplittingTheirLoops) {
  std::mt19937 rng(11);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  BodyMaker m;
  std::vector<Vec3> pts;
  // A coarse grid in two planes, so that repeats, collinear corners,
  // concave loops and equal normals are common; -0 beside 0 as well.
  for (int x = 0; x < 4; ++x)
    for (int y = 0; y < 4; ++y)
      for (double z : {0.0, x == 0 ? -0.0 : 0.0, 1.0 * y}) pts.push_back({x * 1.0, y * 1.0, z});
  for (const Vec3& p : pts) m.AddVertex(p);
  std::vector<std::vector<std::vector<std::int32_t>>> expectedPieces;
  std::vector<Vec3> expectedNormals, distinct;
  for (int f = 0; f < 3000; ++f) {
    std::vector<std::int32_t> loop(static_cast<std::size_t>(pick(3, 6)));
    for (auto& c : loop) c = pick(0, static_cast<int>(pts.size()) - 1);
    Vec3 n;
    const auto pieces = SplitConvex(pts, loop, &n);
    ASSERT_EQ(m.AddFace(loop, {}), !pieces.empty()) << "face " << f;
    if (pieces.empty()) continue;
    expectedPieces.push_back(pieces);
    expectedNormals.push_back(n);
    if (std::find(distinct.begin(), distinct.end(), n) == distinct.end()) distinct.push_back(n);
  }
  const Body& body = m.body();
  ASSERT_EQ(body.polygons.size(), expectedPieces.size());
  EXPECT_GT(body.polygons.size(), 1000u);
  EXPECT_EQ(body.polygonNormals, distinct);
  for (std::size_t i = 0; i < body.polygons.size(); ++i) {
    EXPECT_EQ(body.polygons[i].convexPieces, ConvexPieces(expectedPieces[i])) << "polygon " << i;
    EXPECT_EQ(PolygonNormal(body, body.polygons[i]), expectedNormals[i]) << "polygon " << i;
  }
}

TEST(HostModelGeometry, TextureCoordinatesFollowTheMapping) {
  Body b = MakeBox({0, 0, 0}, {2, 3, 4}, 1);
  b.texCoords.assign(b.vertices.size(), {7, 8});
  for (const Polygon& p : b.polygons) {
    Vec3 n = PolygonNormal(b, p);
    for (std::int32_t v : p.convexPieces[0]) {
      Vec2 uv = TextureCoordinate(b, p, v);
      const Vec3& pos = b.vertices[static_cast<std::size_t>(v)];
      // Box mapping: walls show height as v, floors and roofs plan x/y.
      if (std::fabs(n.z) > 0.5) EXPECT_EQ(uv, (Vec2{pos.x, pos.y}));
      else EXPECT_EQ(uv.v, pos.z);
    }
  }
  Polygon planar = b.polygons[0];
  SetMapping(b, planar, {TextureProjection::Planar, {1, 1, 1}, {0.5, 0, 0}, {0, 0, 2}});
  EXPECT_EQ(TextureCoordinate(b, planar, 7), (Vec2{0.5, 6}));  // vertex 7 = (2,3,4)
  SetMapping(b, planar, {TextureProjection::Vertex, {1, 1, 1}, {0.5, 0, 0}, {0, 0, 2}});
  EXPECT_EQ(TextureCoordinate(b, planar, 7), (Vec2{7, 8}));
  EXPECT_EQ(TextureCoordinate(b, planar, 99), (Vec2{})) << "out of range vertex";
}

}  // namespace
}  // namespace hostmodel
