#include "hostmodel/project_file.h"

#include <gtest/gtest.h>

#include <algorithm>

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
  SetMapping(sample.elements[1].bodies[0], sample.elements[1].bodies[0].polygons[2],
             {TextureProjection::Planar, {0.1, 0.2, 0.3}, {0, 1, 0}, {0, 0, 1}});
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
  // (On Windows with the system's separators.)
  EXPECT_EQ(std::filesystem::path(loaded->textures[0].filePath).lexically_normal(),
            std::filesystem::path(t.filePath).lexically_normal());
}

// Polygons keep their mappings in their body's table. Each polygon reads
// back the mapping it was given, through a save and a load, however many
// distinct ones the body holds and in whatever order they come; bodies
// compare by each polygon's mapping, not by how the table is laid out.
TEST(HostModelProjectFile, EachPolygonKeepsItsMappingWhateverTheTable) {
  TempDir dir;
  Project sample = SampleBuilding();
  Body& body = sample.elements[1].bodies[0];
  ASSERT_GE(body.polygons.size(), 6u);
  std::vector<TextureMapping> given;
  for (std::size_t i = 0; i < body.polygons.size(); ++i) {
    // Twelve distinct planar mappings, coming back after more than the
    // table's recent entries, and the default between them.
    TextureMapping m;
    if (i % 4 != 3)
      m = {TextureProjection::Planar, {0.5 * static_cast<double>((i * 5) % 12), 0, 1}, {0, 1, 0}, {0, 0, 1}};
    SetMapping(body, body.polygons[i], m);
    given.push_back(m);
  }
  auto expectGiven = [&](const Body& b) {
    for (std::size_t i = 0; i < b.polygons.size(); ++i) EXPECT_EQ(MappingOf(b, b.polygons[i]), given[i]) << i;
  };
  expectGiven(body);
  const std::string path = dir / "mapped.pln";
  ASSERT_TRUE(SaveProjectFile(sample, path));
  auto loaded = LoadProjectFile(path);
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  expectGiven(loaded->elements[1].bodies[0]);
  EXPECT_TRUE(loaded.value() == sample);

  // The same mappings through a table in reverse order: still equal.
  Body reversed = body;
  std::reverse(reversed.mappings.begin(), reversed.mappings.end());
  const auto n = static_cast<std::int32_t>(reversed.mappings.size());
  for (Polygon& p : reversed.polygons)
    if (p.mappingIndex > 0) p.mappingIndex = n + 1 - p.mappingIndex;
  EXPECT_TRUE(reversed == body);
  SetMapping(reversed, reversed.polygons[0], TextureMapping{});
  EXPECT_FALSE(reversed == body);

  // An index past the table is refused, not read as some other mapping.
  Project bad = sample;
  Body& badBody = bad.elements[1].bodies[0];
  badBody.polygons[1].mappingIndex = static_cast<std::int32_t>(badBody.mappings.size()) + 1;
  EXPECT_NE(Validate(bad).find("mapping index"), std::string::npos) << Validate(bad);
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
      {"wrong type", Replace(m, "\"genId\": 7", "\"genId\": \"7\""),
       "elements[0].genId: expected an integer, found a string"},
      {"negative id", Replace(m, "\"genId\": 7", "\"genId\": -1"), "elements[0].genId: value -1 outside 0..4294967295"},
      {"short vector", Replace(m, "[1,1,0]", "[1,1]"),
       "elements[0].bodies[0].vertices[2]: expected an array of 3 numbers"},
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
      {"deep nesting",
       Replace(m, "\"elements\": [", "\"elements\": [" + std::string(100000, '[') + std::string(100000, ']') + ","),
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

namespace hostmodel {
namespace {

// The project a document reads to, by the reading the host uses and by the
// document tree reader that reading must agree with: the same project
// (numbers compared by their text, so that the sign of a zero counts), or
// the same message. Returns whether the host's reading took the document
// itself rather than handing it to the tree reader.
bool ReadersAgree(const std::string& label, const std::string& text, const detail::ProjectReading& tuning = {}) {
  detail::ProjectReadReport report;
  const Result<Project> fast = detail::ParseProject(text, "doc.pln", tuning, &report);
  const Result<Project> tree = detail::ParseProjectTree(text, "doc.pln");
  EXPECT_EQ(fast.ok(), tree.ok()) << label << ": " << (fast.ok() ? tree.error() : fast.error());
  if (fast.ok() && tree.ok()) {
    EXPECT_TRUE(fast.value() == tree.value()) << label;
    EXPECT_EQ(SerializeProject(fast.value()), SerializeProject(tree.value())) << label;
  } else if (!fast.ok() && !tree.ok()) {
    EXPECT_EQ(fast.error(), tree.error()) << label;
  }
  return !report.treeRead;
}

constexpr const char* kGuid1 = "0A1B2C3D-0000-4000-8000-000000000001";

// A document of two elements, the first with the given members of its
// own (by default a GUID, a generation and a name) and members added to
// its body and polygon.
const std::string kElementMembers = std::string(R"("guid": ")") + kGuid1 + R"(", "genId": 7, "name": "first")";

std::string Document(const std::string& elementMembers = kElementMembers, const std::string& bodyMembers = "",
                     const std::string& polygonMembers = "", const std::string& top = "") {
  return std::string(R"({"format": "host-project", "version": 1, )") + top +
         R"("materials": [{"name": "Stone"}, {"name": "Wood"}], "textures": [{"pixels": {"width": 1, "height": 1, "argb": "AAAAAA=="}}],
  "elements": [
  {)" + elementMembers +
         R"(, "bodies": [{
    "vertices": [[0,0,0],[1,0,0],[1,1,0],[0,1,0]], "polygonNormals": [[0,0,1]],
    "polygons": [{"material": 1, "normal": 1, "pieces": [[0,1,2,3]])" +
         polygonMembers + "}]" + bodyMembers + R"(}]},
  {"guid": "0A1B2C3D-0000-4000-8000-000000000002", "bodies": []}
  ]
})";
}

std::string WithElement(const std::string& added) { return Document(kElementMembers + added); }

TEST(HostModelProjectRead, TheHostsReadingAndTheTreeReadingGiveTheSameProject) {
  const std::vector<std::pair<std::string, std::string>> documents = {
      {"compact, on one line",
       R"({"format":"host-project","version":1,"materials":[{"name":"S"}],"elements":[{"guid":")" +
           std::string(kGuid1) +
           R"(","bodies":[{"vertices":[[0,0,0],[1,0,0],[0,1,0]],"polygonNormals":[[0,0,1]],"polygons":[{"material":1,"normal":-1,"pieces":[[0,1,2]]}]}]}]})"},
      {"tabs, carriage returns, blanks around everything",
       std::string("\xEF\xBB\xBF") +
           "\r\n{ \"format\" :\t\"host-project\" ,\r\n\"version\"\n:\n1 , \"elements\" :\r\n\t[ \r\n ] \r\n}\r\n\t "},
      {"elements first, format last", R"({"elements": [{"guid": ")" + std::string(kGuid1) +
                                          R"("}], "version": 1, "materials": [], "format": "host-project"})"},
      {"no elements", R"({"format": "host-project", "version": 1})"},
      {"unknown members everywhere",
       Document(
           kElementMembers + R"(, "colour": {"a": [1, -2.5e3, true, false, null, {"b": "\u00e9"}], "c": []}, "z": {})",
           R"(, "note": "x", "more": [[[[]]]])",
           R"(, "extra": 1e300, "mapping": {"projection": "planar", "u": [0, 0, 1], "w": "?"})",
           R"("comment": ["anything", {"deep": [{}]}], )")},
      {"escapes in names",
       Document(
           std::string(R"("guid": ")") + kGuid1 +
           R"(", "name": "a\"b\\c\/d\b\f\n\r\t \u0041\u00e9\u20ac \ud83d\ude00 \u0000 Fen\u00eatre Fenêtre 漢字")")},
      {"keys written with escapes",
       Document(std::string(R"("g\u0075id": ")") + kGuid1 + R"(", "n\u0061me": "escaped key")")},
      {"numbers in every form",
       Document(kElementMembers,
                R"(, "vertexNormals": [[1e0, 1E+2, -2.5e-3], [0.1e1, 12345678901234567890, -0], [-0.0, 0e500, 5e-324],
         [1.7976931348623157e308, 0.30000000000000004, 9007199254740993], [123456789012345678, 1234567890123456789, -9223372036854775809],
         [4.9406564584124654e-324, 2.2250738585072011e-308, 0.000000000000000000000000000001]])")},
      {"a number below the double range",
       Document(kElementMembers, R"(, "vertexNormals": [[1e-400, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0]])")},
      {"braces and lower case in GUIDs", Document(R"("guid": "{0a1b2c3d-0000-4000-8000-00000000000f}")")},
      {"largest generation id", Document(std::string(R"("genId": 4294967295, "guid": ")") + kGuid1 + "\"")},
      {"a number as long as any",
       Document(
           kElementMembers,
           R"(, "vertexNormals": [[0.1000000000000000055511151231257827021181583404541015625, 1, 2], [3.0000000000000000000000000000000000001, 0, 0], [0, 0, 0], [0, 0, 0]])")},
      {"a member given twice (the last counts)", WithElement(R"(, "genId": 8, "name": "twice")")},
      {"elements twice (the last counts)", Replace(Document(), "\"materials\"", "\"elements\": [], \"materials\"")},
      {"closed false, curved and invisible, texture",
       Document(kElementMembers, R"(, "closed": false)", R"(, "curved": true, "invisible": true, "texture": 1)")},
      {"every texture mapping",
       Document(kElementMembers, R"(, "texCoords": [[0, 0], [1, 0.5], [1e-3, -2], [3, 4]])",
                R"(, "mapping": {"projection": "vertex", "origin": [1, 2, 3], "u": [0, 1, 0], "v": [0, 0, 1]})")},
  };
  int takenByTheHostsReading = 0;
  for (const auto& [label, text] : documents) {
    const bool taken = ReadersAgree(label, text);
    takenByTheHostsReading += taken;
  }
  // All but the documents with a repeated member and the numbers below
  // the double range are read without it.
  EXPECT_GE(takenByTheHostsReading, static_cast<int>(documents.size()) - 3);
}

TEST(HostModelProjectRead, ABrokenDocumentGetsTheTreeReadersMessage) {
  TempDir dir;
  const std::string good = Document();
  ASSERT_TRUE(ReadersAgree("the unbroken document", good));
  const std::vector<std::pair<std::string, std::string>> broken = {
      {"truncated in the elements", good.substr(0, good.size() - 40)},
      {"nothing after the top-level object's end", good + " x"},
      {"a second document", good + "{}"},
      {"trailing comma", Replace(good, "[0,1,2,3]]", "[0,1,2,3],]")},
      {"missing colon", Replace(good, "\"genId\": 7", "\"genId\" 7")},
      {"bad escape", Replace(good, "\"first\"", R"("a\qb")")},
      {"lone surrogate", Replace(good, "\"first\"", R"("\ud800x")")},
      {"invalid UTF-8", Replace(good, "\"first\"", "\"a\xC3\x28\"")},
      {"overlong UTF-8", Replace(good, "\"first\"", "\"\xC0\xAF\"")},
      {"raw line break in a string", Replace(good, "\"first\"", "\"a\nb\"")},
      {"leading zero", Replace(good, "[1,0,0]", "[01,0,0]")},
      {"bare point", Replace(good, "[1,0,0]", "[1.,0,0]")},
      {"bare minus", Replace(good, "[1,0,0]", "[-,0,0]")},
      {"NaN", Replace(good, "[1,0,0]", "[NaN,0,0]")},
      {"plus sign", Replace(good, "[1,0,0]", "[+1,0,0]")},
      {"number beyond the double range", Replace(good, "[1,0,0]", "[1e400,0,0]")},
      {"number beyond the double range where nothing reads it", WithElement(R"(, "extra": [1, -1e400])")},
      {"fraction for an integer", Replace(good, "\"genId\": 7", "\"genId\": 7.0")},
      {"integer out of range", Replace(good, "\"genId\": 7", "\"genId\": 4294967296")},
      {"huge integer", Replace(good, "\"normal\": 1", "\"normal\": 99999999999999999999999")},
      {"string for a number", Replace(good, "[1,0,0]", "[\"1\",0,0]")},
      {"two coordinates", Replace(good, "[1,0,0]", "[1,0]")},
      {"missing normal", Replace(good, "\"normal\": 1, ", "")},
      {"missing vertices", Replace(good, "\"vertices\": [[0,0,0],[1,0,0],[1,1,0],[0,1,0]], ", "")},
      {"element without guid", Replace(good, "{\"guid\": \"0A1B2C3D-0000-4000-8000-000000000002\", ", "{")},
      {"bad guid", Replace(good, "000000000002", "00000000000G")},
      {"bad projection", Document(kElementMembers, "", R"(, "mapping": {"projection": "cylinder"})")},
      {"bool as number", Document(kElementMembers, R"(, "closed": 1)")},
      {"elements not an array", Replace(good, "\"elements\": [", "\"elements\": {\"a\": [") + "}"},
      {"an element that is an array",
       Replace(good, "{\"guid\": \"0A1B2C3D-0000-4000-8000-000000000002\", \"bodies\": []}", "[]")},
      {"material index out of range", Replace(good, "\"material\": 1", "\"material\": 3")},
      {"duplicate element", Replace(good, "000000000002", "000000000001")},
      {"missing texture file with sound elements",
       Replace(good, R"({"pixels": {"width": 1, "height": 1, "argb": "AAAAAA=="}})", R"({"file": "nowhere.png"})")},
      {"a head problem and a syntax error in the elements",
       Replace(Replace(good, "\"version\": 1", "\"version\": 2"), "[0,1,2,3]]", "[0,1,2,3],]")},
  };
  for (const auto& [label, text] : broken) {
    ReadersAgree(label, text);
    const Result<Project> read = ParseProject(text, "doc.pln");
    EXPECT_FALSE(read.ok()) << label;
  }
  // The same through a file, read a small window at a time.
  detail::ProjectReading small;
  small.windowBytes = 64;
  for (const auto& [label, text] : broken) {
    const std::string path = dir.Write("broken.pln", text);
    const Result<Project> fromFile = detail::LoadProjectFile(path, small, nullptr);
    const Result<Project> tree = detail::ParseProjectTree(text, path);
    ASSERT_FALSE(fromFile.ok()) << label;
    EXPECT_EQ(fromFile.error(), tree.error()) << label;
  }
}

}  // namespace
}  // namespace hostmodel
