#include "hostmodel/sample.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "hostmodel/import.h"
#include "hostmodel/project_file.h"

namespace hostmodel {
namespace {

const std::string kSamples = HOSTMODEL_SAMPLES;

// The shipped files were written from the built-in house: any change to how
// the house is built (its normals, textures, materials, curved and pieced
// polygons that the runtime's tests read back) shows as a difference here.
// The house must also carry each kind of part those tests rely on.
TEST(HostModelSample, HouseCarriesEveryKindOfPartAndMatchesTheShippedFiles) {
  const Project built = SampleBuilding();
  ASSERT_EQ(Validate(built), "");
  bool textured = false, glass = false, curved = false, open = false, pieced = false;
  for (const Material& m : built.materials) {
    textured |= m.textureIndex == 1;
    glass |= m.materialType == 5 && m.transparency > 0;
  }
  for (const Element& e : built.elements)
    for (const Body& b : e.bodies) {
      open |= !b.closed;
      for (const Polygon& poly : b.polygons) {
        curved |= poly.curved;
        pieced |= poly.convexPieces.size() > 1;
      }
    }
  EXPECT_TRUE(textured && glass && curved && open && pieced);
  auto shipped = LoadProjectFile(kSamples + "house.pln");
  ASSERT_TRUE(shipped.ok()) << shipped.error();
  Project loaded = shipped.value();
  // The shipped project references its texture as an image file.
  // (On Windows with the system's separators.)
  EXPECT_EQ(std::filesystem::path(loaded.textures.at(0).filePath).lexically_normal(),
            std::filesystem::path(kSamples + "brick.png").lexically_normal());
  loaded.textures[0].filePath.clear();
  loaded.textures[0].name = built.textures[0].name;
  EXPECT_TRUE(loaded == built) << "samples are stale: rerun hostmodel-tool sample standins/host/model/samples";

  auto obj = ImportModel(kSamples + "house.obj");
  ASSERT_TRUE(obj.ok()) << obj.error();
  EXPECT_EQ(obj->elements.size(), built.elements.size());
  EXPECT_EQ(obj->materials.size(), built.materials.size());
}

// The model check looks at elements on several threads, yet reports what
// a check in element order finds first: a broken body before a later
// repeated GUID, a repeated GUID (naming its first holder) before a later
// broken body.
TEST(HostModelSample, TheModelCheckReportsTheFirstProblemInElementOrder) {
  const Project house = SampleBuilding();
  ASSERT_GE(house.elements.size(), 3u);
  auto broken = [](Project p, std::size_t e) {
    p.elements[e].bodies.at(0).polygons.at(0).materialIndex = 999;
    return p;
  };
  auto repeated = [](Project p, std::size_t e, std::size_t of) {
    p.elements[e].guid = p.elements[of].guid;
    return p;
  };
  const std::string secondBroken = "element 2 body 1 polygon 1: material index 999";
  EXPECT_EQ(Validate(repeated(broken(house, 1), 2, 0)).rfind(secondBroken, 0), 0u);
  EXPECT_EQ(Validate(repeated(repeated(broken(house, 2), 1, 0), 2, 0)).rfind("element 2: GUID ", 0), 0u);
  const std::string thirdRepeats = Validate(repeated(repeated(house, 2, 0), 3, 0));
  EXPECT_EQ(thirdRepeats.rfind("element 3: GUID ", 0), 0u) << thirdRepeats;
  EXPECT_NE(thirdRepeats.find("repeats element 1"), std::string::npos) << thirdRepeats;
  const std::string brokenLast = Validate(broken(house, house.elements.size() - 1));
  EXPECT_EQ(brokenLast.rfind("element " + std::to_string(house.elements.size()) + " body 1", 0), 0u) << brokenLast;
}

}  // namespace
}  // namespace hostmodel
