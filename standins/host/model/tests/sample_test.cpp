#include "hostmodel/sample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "hostmodel/import.h"
#include "hostmodel/project_file.h"

namespace hostmodel {
namespace {

const std::string kSamples = HOSTMODEL_SAMPLES;

double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Cross(const Vec3& a, const Vec3& b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

// Enclosed volume by the divergence theorem: positive when every face of a
// watertight body points outwards.
double Volume(const Body& b) {
  double v = 0;
  for (const Polygon& p : b.polygons)
    for (const auto& piece : p.convexPieces)
      for (std::size_t i = 1; i + 1 < piece.size(); ++i)
        v += Dot(b.vertices[static_cast<std::size_t>(piece[0])],
                 Cross(b.vertices[static_cast<std::size_t>(piece[i])], b.vertices[static_cast<std::size_t>(piece[i + 1])])) /
             6;
  return v;
}

// Every directed edge (by position) is matched by its reverse: watertight,
// consistently oriented and free of T-junctions.
bool Watertight(const Body& b) {
  std::map<std::tuple<double, double, double, double, double, double>, int> edges;
  for (const Polygon& p : b.polygons)
    for (const auto& piece : p.convexPieces)
      for (std::size_t i = 0; i < piece.size(); ++i) {
        Vec3 a = b.vertices[static_cast<std::size_t>(piece[i])];
        Vec3 c = b.vertices[static_cast<std::size_t>(piece[(i + 1) % piece.size()])];
        auto fwd = std::make_tuple(a.x, a.y, a.z, c.x, c.y, c.z);
        auto back = std::make_tuple(c.x, c.y, c.z, a.x, a.y, a.z);
        if (edges[back] > 0)
          --edges[back];
        else
          ++edges[fwd];
      }
  for (const auto& [e, n] : edges)
    if (n != 0) return false;
  return true;
}

TEST(HostModelSample, HouseIsDeterministicValidAndEveryClosedBodyOutwardAndWatertight) {
  Project a = SampleBuilding();
  EXPECT_TRUE(a == SampleBuilding());
  ASSERT_EQ(Validate(a), "");
  ASSERT_GE(a.elements.size(), 8u);
  // Every closed body encloses a positive volume (its faces point outwards)
  // with every edge met by its reverse (nothing missing, nothing turned).
  for (const Element& e : a.elements) {
    EXPECT_NE(e.genId, 0u);
    for (const Body& b : e.bodies) {
      for (const Vec3& n : b.polygonNormals) EXPECT_NEAR(Dot(n, n), 1.0, 1e-12) << e.name;
      if (!b.closed) continue;
      EXPECT_GT(Volume(b), 0) << e.name;
      EXPECT_TRUE(Watertight(b)) << e.name;
    }
  }
}

TEST(HostModelSample, HouseCarriesWhatTheHostReports) {
  Project p = SampleBuilding();
  EXPECT_TRUE(p.state.untitled);
  ASSERT_EQ(p.state.referenceLevels.size(), 2u);
  EXPECT_EQ(p.state.referenceLevels[1].height, 3.0);
  ASSERT_EQ(p.textures.size(), 1u);
  const Texture& t = p.textures[0];
  EXPECT_EQ(t.pixels.size(), static_cast<std::size_t>(t.width * t.height * 4));
  for (std::size_t i = 0; i < t.pixels.size(); i += 4) ASSERT_EQ(t.pixels[i], 255) << "opaque A,R,G,B";
  bool textured = false, glass = false, curved = false, open = false, pieced = false;
  for (const Material& m : p.materials) {
    textured |= m.textureIndex == 1;
    glass |= m.materialType == 5 && m.transparency > 0;
  }
  for (const Element& e : p.elements)
    for (const Body& b : e.bodies) {
      open |= !b.closed;
      for (const Polygon& poly : b.polygons) {
        curved |= poly.curved;
        pieced |= poly.convexPieces.size() > 1;
      }
    }
  EXPECT_TRUE(textured && glass && curved && open && pieced);
}

TEST(HostModelSample, ShippedFilesMatchTheBuiltInHouse) {
  auto shipped = LoadProjectFile(kSamples + "house.pln");
  ASSERT_TRUE(shipped.ok()) << shipped.error();
  Project built = SampleBuilding();
  Project loaded = shipped.value();
  // The shipped project references its texture as an image file.
  EXPECT_EQ(loaded.textures.at(0).filePath, kSamples + "brick.png");
  loaded.textures[0].filePath.clear();
  loaded.textures[0].name = built.textures[0].name;
  EXPECT_TRUE(loaded == built) << "samples are stale: rerun hostmodel-tool sample standins/host/model/samples";

  auto obj = ImportModel(kSamples + "house.obj");
  ASSERT_TRUE(obj.ok()) << obj.error();
  EXPECT_EQ(obj->elements.size(), built.elements.size());
  EXPECT_EQ(obj->materials.size(), built.materials.size());
}

}  // namespace
}  // namespace hostmodel
