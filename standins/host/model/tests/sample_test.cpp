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

TEST(HostModelSample, HouseIsDeterministicValidAndCarriesWhatTheHostReports) {
  const Project p = SampleBuilding();
  EXPECT_TRUE(p == SampleBuilding());
  ASSERT_EQ(Validate(p), "");
  for (const Element& e : p.elements) {
    EXPECT_NE(e.genId, 0u);
    for (const Body& b : e.bodies)
      for (const Vec3& n : b.polygonNormals) EXPECT_NEAR(Dot(n, n), 1.0, 1e-12) << e.name;
  }
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
