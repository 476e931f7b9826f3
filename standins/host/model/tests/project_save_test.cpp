// Saving a large project: the elements are written to the file piece by
// piece while later pieces are made on other threads. The file must hold
// them in order, read back to the same project, and be the very text the
// project serialises to; a save that cannot finish leaves what was there.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "temp_dir.h"

namespace hostmodel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  auto pos = s.find(from);
  if (pos == std::string::npos) throw std::runtime_error("test text lacks: " + from);
  return s.replace(pos, from.size(), to);
}

// The sample's elements copied many times over (far more pieces than the
// writer makes at once), each copy moved and named apart, with numbers and
// names that test the text: thirds, tiny and huge values, negative zero,
// quotes, line breaks and accents; every kind of texture mapping.
Project LargeProject() {
  Project p = SampleBuilding();
  const std::vector<Element> originals = p.elements;
  const TextureProjection projections[] = {TextureProjection::Box, TextureProjection::Planar,
                                           TextureProjection::Vertex};
  for (int copy = 0; copy < 400; ++copy)
    for (const Element& original : originals) {
      Element e = original;
      e.guid = Guid::FromName("copy " + std::to_string(copy) + " of " + original.name);
      e.genId = static_cast<std::uint32_t>(copy + 2);
      e.name = original.name +
               (copy % 3 == 0   ? " \"copy\"\n"
                : copy % 3 == 1 ? " Fenêtre\t"
                                : " ") +
               std::to_string(copy);
      for (Body& b : e.bodies) {
        for (Vec3& v : b.vertices) v = {v.x + copy / 3.0, v.y - copy * 1e-7, v.z};
        if (!b.vertices.empty()) b.vertices[0] = {-0.0, 1e-300, 1e300 / (copy + 1)};
        for (std::size_t i = 0; i < b.polygons.size(); ++i) {
          Polygon& poly = b.polygons[i];
          poly.curved = (i + static_cast<std::size_t>(copy)) % 2 == 0;
          poly.invisible = (i + static_cast<std::size_t>(copy)) % 7 == 0;
          TextureMapping mapping;
          mapping.projection = projections[(i + static_cast<std::size_t>(copy)) % 3];
          mapping.origin = {0.1 * copy, 0, -2.5};
          SetMapping(b, poly, mapping);
        }
      }
      p.elements.push_back(std::move(e));
    }
  return p;
}

TEST(HostModelProjectSave, ALargeProjectIsWrittenInOrderAndReadsBackEqual) {
  TempDir dir;
  const Project project = LargeProject();
  ASSERT_EQ(Validate(project), "");
  const std::string path = dir / "large.pln";
  Status saved = SaveProjectFile(project, path);
  ASSERT_TRUE(saved.ok()) << saved.error();

  auto loaded = LoadProjectFile(path);
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  ASSERT_EQ(loaded->elements.size(), project.elements.size());
  for (std::size_t i = 0; i < project.elements.size(); ++i)
    ASSERT_TRUE(loaded->elements[i] == project.elements[i]) << "element " << i << " " << project.elements[i].name;
  EXPECT_TRUE(loaded.value() == project);
  // Negative zero keeps its sign through the text.
  EXPECT_TRUE(std::signbit(loaded->elements.back().bodies[0].vertices[0].x));
  // The file is the text the project serialises to in one piece, written
  // past the page cache in whole blocks and a last partial one, or the
  // ordinary way throughout where the file system refuses that.
  const std::string text = SerializeProject(project, dir.path().string());
  ASSERT_GT(text.size(), std::size_t{8} << 20) << "the text fills no whole block";
  EXPECT_TRUE(testing::ReadFile(path) == text);
  const std::string ordinary = dir / "ordinary.pln";
  saved = detail::SaveProjectFile(project, project.state, ordinary, detail::ProjectWriting{false});
  ASSERT_TRUE(saved.ok()) << saved.error();
  EXPECT_TRUE(testing::ReadFile(ordinary) == text);
}

// A save whose file cannot take the target's name (a folder is there)
// fails naming the target, leaves the folder and its content as they were,
// and no part-written file beside it.
TEST(HostModelProjectSave, ASaveThatCannotFinishLeavesWhatWasThere) {
  TempDir dir;
  fs::create_directories(dir.path() / "taken.pln");
  dir.Write("taken.pln/inside.txt", "kept");
  const Status s = SaveProjectFile(LargeProject(), dir / "taken.pln");
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.error().find("taken.pln: cannot replace file"), std::string::npos) << s.error();
  EXPECT_EQ(testing::ReadFile(dir / "taken.pln/inside.txt"), "kept");
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

}  // namespace
}  // namespace hostmodel

namespace hostmodel {
namespace {

// The elements array of a large project cut into many pieces, each read
// through a small window: the project read back is the saved one, and the
// same as the tree reader's.
TEST(HostModelProjectRead, ALargeFileIsReadInPiecesToTheSameProject) {
  TempDir dir;
  const Project project = LargeProject();
  const std::string path = dir / "large.pln";
  ASSERT_TRUE(SaveProjectFile(project, path).ok());
  const std::string text = testing::ReadFile(path);
  detail::ProjectReading tuning;
  tuning.pieceBytes = text.size() / 37;
  tuning.windowBytes = 1000;  // smaller than an element: windows grow
  detail::ProjectReadReport report;
  const Result<Project> fromFile = detail::LoadProjectFile(path, tuning, &report);
  ASSERT_TRUE(fromFile.ok()) << fromFile.error();
  EXPECT_FALSE(report.treeRead);
  EXPECT_GT(report.pieces, 30u);
  EXPECT_FALSE(report.piecesRedone);
  EXPECT_TRUE(fromFile.value() == project);
  EXPECT_TRUE(SerializeProject(fromFile.value(), dir.path().string()) == text);

  const Result<Project> fromText = detail::ParseProject(text, path, tuning, &report);
  ASSERT_TRUE(fromText.ok()) << fromText.error();
  EXPECT_GT(report.pieces, 30u);
  EXPECT_TRUE(fromText.value() == project);
  const Result<Project> tree = detail::ParseProjectTree(text, path);
  ASSERT_TRUE(tree.ok());
  EXPECT_TRUE(tree.value() == project);
}

// Line starts that look like an element's but are inside one (a body
// written at the elements' indent) make cuts fall inside elements: the
// pieces after such a cut are read again, to the same project. A piece
// whose text is damaged fails the read with the tree reader's message,
// never gives a project.
TEST(HostModelProjectRead, CutsInsideElementsAndDamagedPiecesNeverGiveAWrongProject) {
  TempDir dir;
  const Project project = LargeProject();
  std::string text = SerializeProject(project, dir.path().string());
  // Every body at the indent of an element.
  std::string misleading;
  for (std::size_t at = 0;;) {
    const std::size_t next = text.find("\n    {", at);
    misleading.append(text, at, next == std::string::npos ? std::string::npos : next - at);
    if (next == std::string::npos) break;
    misleading += "\n  {";
    at = next + 6;
  }
  ASSERT_NE(misleading, text);
  detail::ProjectReading tuning;
  tuning.pieceBytes = misleading.size() / 50;
  tuning.windowBytes = 4096;
  detail::ProjectReadReport report;
  const Result<Project> read = detail::LoadProjectFile(dir.Write("misleading.pln", misleading), tuning, &report);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_TRUE(report.piecesRedone || report.treeRead);
  EXPECT_TRUE(read.value() == project);

  // Damage at several places: a piece's first element, the middle of one,
  // the last element, the array's end.
  tuning.pieceBytes = text.size() / 20;
  const std::size_t cut = text.find("\n  {", text.size() / 2);
  ASSERT_NE(cut, std::string::npos);
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"a piece's first element", text.substr(0, cut + 4) + "\"guid\" 12," + text.substr(cut + 4)},
      {"a number in the middle", Replace(text, "[1.0, 0.0, 0.0]", "[1.0, 0.0 0.0]")},
      {"a bracket", text.substr(0, text.size() / 3) + "}" + text.substr(text.size() / 3 + 1)},
      {"the end", text.substr(0, text.size() - 6) + "\n}\n"},
      {"a cut-off file", text.substr(0, cut + 2)},
  };
  for (const auto& [label, bad] : damaged) {
    const std::string path = dir.Write("damaged.pln", bad);
    const Result<Project> r = detail::LoadProjectFile(path, tuning, nullptr);
    const Result<Project> tree = detail::ParseProjectTree(bad, path);
    ASSERT_FALSE(r.ok()) << label;
    ASSERT_FALSE(tree.ok()) << label;
    EXPECT_EQ(r.error(), tree.error()) << label;
  }
}

// Numbers are written as the JSON library writes them, however often the
// same one recurs and whichever others share its place among the numbers
// remembered: every kind of double, many repeated, many more than are
// remembered.
TEST(HostModelProjectSave, NumbersAreWrittenAsTheJsonLibraryWritesThem) {
  std::mt19937_64 random(7);
  std::vector<double> values = {0.0,
                                -0.0,
                                1.0,
                                -1.0,
                                0.1,
                                1.0 / 3.0,
                                1e15,
                                1e16,
                                123456789012345.0,
                                1e-5,
                                1e-4,
                                5e-324,
                                2.2250738585072014e-308,
                                1.7976931348623157e308,
                                -1e300,
                                0.30000000000000004};
  while (values.size() < 20000) {
    const std::uint64_t bits = random();
    const double x = std::bit_cast<double>(bits);
    if (std::isfinite(x)) values.push_back(x);
    values.push_back(std::ldexp(static_cast<double>(bits >> 40), -static_cast<int>(bits % 30)));
    values.push_back(values[random() % values.size()]);
  }
  Project p;
  p.materials.push_back(Material{});
  Element e;
  e.guid = Guid::FromName("numbers");
  Body b;
  for (std::size_t i = 0; i + 3 <= values.size(); i += 3)
    b.vertices.push_back({values[i], values[i + 1], values[i + 2]});
  b.polygonNormals = {{0, 0, 1}};
  b.polygons.push_back(Polygon{});
  b.polygons[0].materialIndex = 1;
  b.polygons[0].convexPieces = {{0, 1, 2}};
  e.bodies.push_back(b);
  p.elements.push_back(e);
  const std::string text = SerializeProject(p);
  std::string expected;
  for (const Vec3& v : b.vertices)
    expected +=
        "[" + nlohmann::json(v.x).dump() + ", " + nlohmann::json(v.y).dump() + ", " + nlohmann::json(v.z).dump() + "]";
  std::string written;
  const std::size_t from = text.find("\"vertices\": [");
  const std::size_t to = text.find("\"polygonNormals\"");
  ASSERT_NE(from, std::string::npos);
  for (std::size_t i = from + 13; i < to; ++i) {
    const std::size_t line = text.find('\n', i);
    const std::size_t start = text.find_first_not_of(' ', line + 1);
    const std::size_t end = text.find(']', start);
    if (start >= to || text[start] != '[') break;
    written.append(text, start, end + 1 - start);
    i = end;
  }
  EXPECT_TRUE(written == expected);
  const auto read = ParseProject(text, "numbers.pln");
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_TRUE(read->elements[0].bodies[0].vertices == b.vertices);
}

}  // namespace
}  // namespace hostmodel
