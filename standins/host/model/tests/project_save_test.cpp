// Saving a large project: the elements are written to the file piece by
// piece while later pieces are made on other threads. The file must hold
// them in order, read back to the same project, and be the very text the
// project serialises to; a save that cannot finish leaves what was there.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "temp_dir.h"

namespace hostmodel {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// The sample's elements copied many times over (far more pieces than the
// writer makes at once), each copy moved and named apart, with numbers and
// names that test the text: thirds, tiny and huge values, negative zero,
// quotes, line breaks and accents; every kind of texture mapping.
Project LargeProject() {
  Project p = SampleBuilding();
  const std::vector<Element> originals = p.elements;
  const TextureProjection projections[] = {TextureProjection::Box, TextureProjection::Planar, TextureProjection::Vertex};
  for (int copy = 0; copy < 400; ++copy)
    for (const Element& original : originals) {
      Element e = original;
      e.guid = Guid::FromName("copy " + std::to_string(copy) + " of " + original.name);
      e.genId = static_cast<std::uint32_t>(copy + 2);
      e.name = original.name + (copy % 3 == 0 ? " \"copy\"\n" : copy % 3 == 1 ? " Fenêtre\t" : " ") + std::to_string(copy);
      for (Body& b : e.bodies) {
        for (Vec3& v : b.vertices) v = {v.x + copy / 3.0, v.y - copy * 1e-7, v.z};
        if (!b.vertices.empty()) b.vertices[0] = {-0.0, 1e-300, 1e300 / (copy + 1)};
        for (std::size_t i = 0; i < b.polygons.size(); ++i) {
          Polygon& poly = b.polygons[i];
          poly.curved = (i + static_cast<std::size_t>(copy)) % 2 == 0;
          poly.invisible = (i + static_cast<std::size_t>(copy)) % 7 == 0;
          poly.mapping.projection = projections[(i + static_cast<std::size_t>(copy)) % 3];
          poly.mapping.origin = {0.1 * copy, 0, -2.5};
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
  // The file is the text the project serialises to in one piece.
  EXPECT_TRUE(testing::ReadFile(path) == SerializeProject(project, dir.path().string()));
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
