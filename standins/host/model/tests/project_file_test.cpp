#include "hostmodel/project_file.h"

#include <gtest/gtest.h>

#include "hostmodel/image.h"
#include "hostmodel/sample.h"
#include "temp_dir.h"

namespace hostmodel {
namespace {

using testing::TempDir;

TEST(HostModelProjectFile, SampleRoundTripsExactly) {
  TempDir dir;
  Project sample = SampleBuilding();
  ASSERT_EQ(Validate(sample), "");
  // Every kind of state the format carries, beyond what the sample sets.
  sample.state.untitled = false;
  sample.state.teamwork = true;
  sample.state.teamworkUrl = "twp://server/Projects/H%C3%A4uschen";
  sample.state.currentWindow = WindowType::ThreeD;
  sample.state.camera.projection = 2;
  sample.state.camera.rollAngle = -12.25;
  sample.state.camera.drawRect = {-3, 4, 600, 800};
  sample.state.workingLengthUnit = LengthUnit::FootInch;
  sample.state.customAutoTexts.push_back({"Velmar model offset", "autotext-X", "0.125"});
  sample.elements[1].bodies[0].polygons[0].invisible = true;
  sample.elements[1].bodies[0].polygons[1].normalIndex = -sample.elements[1].bodies[0].polygons[1].normalIndex;
  sample.elements[1].bodies[0].polygons[2].textureIndex = 1;
  sample.elements[1].bodies[0].polygons[2].mapping = {TextureProjection::Planar, {0.1, 0.2, 0.3}, {0, 1, 0}, {0, 0, 1}};
  sample.materials[0].headerFlags = 0;
  sample.materials[1].stamp = -7;  // stamps are signed 64-bit
  sample.elements[2].genId = 0xFFFFFFFFu;
  sample.elements[3].bodies[0].vertices[0] = {1.0 / 3.0, -1e-300, 12345.678901234567};

  std::string path = dir / "house.pln";
  ASSERT_TRUE(SaveProjectFile(sample, path)) << "save";
  auto loaded = LoadProjectFile(path);
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  EXPECT_TRUE(loaded.value() == sample);
  EXPECT_EQ(SerializeProject(loaded.value(), dir.path().string()), SerializeProject(sample, dir.path().string()));
}

TEST(HostModelProjectFile, TextureFilesAreReferencedRelativeAndDecodedOnLoad) {
  TempDir dir;
  Project p = SampleBuilding();
  Texture& t = p.textures[0];
  std::filesystem::create_directories(dir.path() / "img");
  ASSERT_TRUE(WritePng(t, dir / "img/brick.png"));
  t.filePath = dir / "img/brick.png";
  t.name = "brick";

  ASSERT_TRUE(SaveProjectFile(p, dir / "p.pln"));
  std::string text = testing::ReadFile(dir / "p.pln");
  EXPECT_NE(text.find("\"file\": \"img/brick.png\""), std::string::npos);
  EXPECT_EQ(text.find("\"argb\""), std::string::npos);

  auto loaded = LoadProjectFile(dir / "p.pln");
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  EXPECT_EQ(loaded->textures[0].pixels, p.textures[0].pixels);
  EXPECT_EQ(loaded->textures[0].fingerprint, p.textures[0].fingerprint);
  EXPECT_EQ(loaded->textures[0].filePath, t.filePath);
}

TEST(HostModelProjectFile, SaveIsAtomicAndRefusesInconsistentProjects) {
  TempDir dir;
  std::string path = dir / "p.pln";
  ASSERT_TRUE(SaveProjectFile(SampleBuilding(), path));
  std::string before = testing::ReadFile(path);

  Project bad = SampleBuilding();
  bad.elements[0].bodies[0].polygons[0].materialIndex = 99;
  Status s = SaveProjectFile(bad, path);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.error().find("material index 99"), std::string::npos) << s.error();
  EXPECT_EQ(testing::ReadFile(path), before);

  // A folder that does not exist: clear failure, nothing left behind.
  Status s2 = SaveProjectFile(SampleBuilding(), dir / "missing/p.pln");
  EXPECT_FALSE(s2.ok());
  EXPECT_NE(s2.error().find("missing/p.pln"), std::string::npos);
  int files = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1);
}

// A minimal valid document that the bad-input cases below break one way each.
constexpr const char* kMinimal = R"({
 "format": "host-project", "version": 1,
 "materials": [{"name": "Stone", "surfaceColor": [0.5, 0.5, 0.5]}],
 "elements": [{"guid": "0A1B2C3D-0000-4000-8000-000000000001", "genId": 7, "bodies": [{
   "vertices": [[0,0,0],[1,0,0],[1,1,0],[0,1,0]],
   "polygonNormals": [[0,0,1]],
   "polygons": [{"material": 1, "normal": 1, "pieces": [[0,1,2,3]]}]}]}]
})";

struct BadCase {
  const char* label;
  std::string text;
  const char* expect;  // must appear in the message
};

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  auto pos = s.find(from);
  if (pos == std::string::npos) throw std::runtime_error("test text lacks: " + from);
  return s.replace(pos, from.size(), to);
}

TEST(HostModelProjectFile, AMinimalDocumentLoadsAndEachBreakOfItIsNamed) {
  TempDir dir;
  auto minimal = LoadProjectFile(dir.Write("m.pln", kMinimal));
  ASSERT_TRUE(minimal.ok()) << minimal.error();
  EXPECT_TRUE(minimal->state.untitled);
  EXPECT_EQ(minimal->materials.at(0).guid, Guid::FromName("material:Stone"));
  EXPECT_EQ(minimal->materials[0].secondColor, minimal->materials[0].surfaceColor);
  EXPECT_EQ(minimal->elements.at(0).genId, 7u);

  const std::string m = kMinimal;
  const std::vector<BadCase> cases = {
      {"empty", "", "project file is empty"},
      {"truncated", m.substr(0, m.size() / 2), "not valid JSON"},
      {"not json", "<xml/>", "not valid JSON"},
      {"not an object", "[1,2]", "expected an object"},
      {"other format", Replace(m, "host-project", "scene"), "is not a host project"},
      {"future version", Replace(m, "\"version\": 1", "\"version\": 9"), "version 9 is not supported"},
      {"wrong type", Replace(m, "\"genId\": 7", "\"genId\": \"7\""), "elements[0].genId: expected an integer, found a string"},
      {"negative id", Replace(m, "\"genId\": 7", "\"genId\": -1"), "elements[0].genId: value -1 outside 0..4294967295"},
      {"short vector", Replace(m, "[1,1,0]", "[1,1]"), "elements[0].bodies[0].vertices[2]: expected an array of 3 numbers"},
      {"bad guid", Replace(m, "0A1B2C3D-0000", "0A1B2C3D-00Z0"), "is not a GUID"},
      {"missing pieces", Replace(m, ", \"pieces\": [[0,1,2,3]]", ""), "missing member \"pieces\""},
      {"vertex out of range", Replace(m, "[[0,1,2,3]]", "[[0,1,2,4]]"), "vertex index 4 out of range 0..3"},
      {"negative vertex", Replace(m, "[[0,1,2,3]]", "[[0,-1,2,3]]"), "vertex index -1 out of range"},
      {"material out of range", Replace(m, "\"material\": 1", "\"material\": 2"), "material index 2 out of range 1..1"},
      {"normal out of range", Replace(m, "\"normal\": 1", "\"normal\": -2"), "normal index -2 out of range"},
      {"zero normal index", Replace(m, "\"normal\": 1", "\"normal\": 0"), "normal index 0 out of range"},
      {"two-corner piece", Replace(m, "[[0,1,2,3]]", "[[0,1]]"), "2 corners, at least 3 needed"},
      {"colour range", Replace(m, "[0.5, 0.5, 0.5]", "[0.5, 1.5, 0.5]"), "colour component"},
      {"missing texture", Replace(m, "\"materials\"", "\"textures\": [{\"file\": \"nowhere.png\"}], \"materials\""),
       "nowhere.png: cannot open image file"},
      {"material texture out of range", Replace(m, "\"name\": \"Stone\"", "\"name\": \"Stone\", \"texture\": 3"),
       "texture index 3 out of range (none defined)"},
      {"pixel size mismatch",
       Replace(m, "\"materials\"",
               "\"textures\": [{\"pixels\": {\"width\": 2, \"height\": 2, \"argb\": \"AAAA\"}}], \"materials\""),
       "holds 3 bytes, 16 expected"},
      {"duplicate guid", Replace(m, "]}]}]\n}", "]}]}, {\"guid\": \"0A1B2C3D-0000-4000-8000-000000000001\"}]\n}"),
       "repeats element 1"},
      {"absurd pixel map",
       Replace(m, "\"materials\"",
               "\"textures\": [{\"pixels\": {\"width\": 65535, \"height\": 65535, \"argb\": \"\"}}], \"materials\""),
       "pixel map too large"},
      {"deep nesting", Replace(m, "\"elements\": [", "\"elements\": [" + std::string(100000, '[') + std::string(100000, ']') + ","),
       "elements[0]: expected an object, found an array"},
      {"solo without path", Replace(m, "\"version\": 1,", "\"version\": 1, \"state\": {\"untitled\": false},"),
       "needs a \"soloPath\""},
  };
  for (const auto& c : cases) {
    std::string path = dir.Write(std::string("bad-") + std::to_string(&c - cases.data()) + ".pln", c.text);
    auto r = LoadProjectFile(path);
    ASSERT_FALSE(r.ok()) << c.label;
    EXPECT_EQ(r.error().rfind(path + ": ", 0), 0u) << c.label << ": " << r.error();
    EXPECT_NE(r.error().find(c.expect), std::string::npos) << c.label << ": " << r.error();
  }
  auto missing = LoadProjectFile(dir / "absent.pln");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().find("absent.pln: cannot open project file"), std::string::npos) << missing.error();
}

}  // namespace
}  // namespace hostmodel
