#include "hostmodel/edit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "hostmodel/geometry.h"
#include "hostmodel/image.h"
#include "hostmodel/project_file.h"
#include "hostmodel/sample.h"
#include "temp_dir.h"

namespace hostmodel {
namespace {

using testing::TempDir;

const Guid& GuidOf(const Project& p, const char* name) {
  for (const Element& e : p.elements)
    if (e.name == name) return e.guid;
  throw std::runtime_error(std::string("no element ") + name);
}

// Everything except the listed elements and materials is untouched, each
// material at its index.
void ExpectOnly(const Project& before, const Project& after, std::vector<Guid> elements, std::vector<int> materials) {
  EXPECT_TRUE(before.state == after.state);
  EXPECT_TRUE(before.textures == after.textures);
  ASSERT_LE(before.materials.size(), after.materials.size());
  for (std::size_t i = 0; i < before.materials.size(); ++i)
    if (std::find(materials.begin(), materials.end(), static_cast<int>(i + 1)) == materials.end()) {
      EXPECT_TRUE(before.materials[i] == after.materials[i]) << "material " << i + 1;
    }
  for (const Element& e : before.elements) {
    if (std::find(elements.begin(), elements.end(), e.guid) != elements.end()) continue;
    std::int32_t k = after.FindElement(e.guid);
    ASSERT_GE(k, 0) << e.name;
    EXPECT_TRUE(after.elements[static_cast<std::size_t>(k)] == e) << e.name;
  }
}

// A texture from an image file is added once and reused for the same
// image; the material's stamp alone moves.
TEST(HostModelEdit, ATextureFileIsAddedOnceAndReused) {
  TempDir dir;
  Project p = SampleBuilding();
  std::string png = dir / "tile.png";
  ASSERT_TRUE(WritePng(SampleBuilding().textures[0], png));
  const Project before = p;
  auto f = SetMaterialTextureFile(p, 4, png, 0.5, 0.25);
  ASSERT_TRUE(f.ok()) << f.error();
  EXPECT_EQ(f->addedTextures, std::vector<std::int32_t>{2});
  EXPECT_EQ(f->changedMaterials, std::vector<std::int32_t>{4});
  EXPECT_EQ(p.materials[3].textureIndex, 2);
  EXPECT_EQ(p.materials[3].stamp, before.materials[3].stamp + 1);
  EXPECT_EQ(p.textures[1].xSize, 0.5);
  auto f2 = SetMaterialTextureFile(p, 2, png, 0.5, 0.25);
  ASSERT_TRUE(f2.ok());
  EXPECT_TRUE(f2->addedTextures.empty());
  EXPECT_EQ(p.materials[1].textureIndex, 2);
  EXPECT_EQ(Validate(p), "");
}

// A deleted material keeps its index (the host never renumbers attributes)
// and nothing can use or change it any more. Without a replacement its
// users keep the deleted index, rebuilt, and the hole survives a save and a
// load; otherwise the first material left takes over, and the last material
// in use cannot go. (Deletion with a replacement, as the add-on reads it, is
// the runtime's edit test.)
TEST(HostModelEdit, DeletedMaterialKeepsItsIndexAndItsUsersMoveOn) {
  TempDir dir;
  Project p = SampleBuilding();
  const Project before = p;
  const Guid user = GuidOf(p, "Roof");
  const std::int32_t roofMaterial = p.elements[p.FindElement(user)].bodies[0].polygons[0].materialIndex;
  auto kept = DeleteMaterial(p, roofMaterial, kNoReplacement);
  ASSERT_TRUE(kept.ok()) << kept.error();
  EXPECT_EQ(kept->removedMaterials, std::vector<std::int32_t>{roofMaterial});
  EXPECT_NE(std::find(kept->changedElements.begin(), kept->changedElements.end(), user), kept->changedElements.end());
  EXPECT_NE(p.elements[p.FindElement(user)].genId, before.elements[before.FindElement(user)].genId);
  EXPECT_EQ(p.elements[p.FindElement(user)].bodies[0].polygons[0].materialIndex, roofMaterial);
  EXPECT_EQ(p.MaterialAt(roofMaterial), nullptr);
  ExpectOnly(before, p, kept->changedElements, {roofMaterial});
  EXPECT_EQ(Validate(p), "");
  EXPECT_FALSE(DeleteMaterial(p, roofMaterial).ok());
  EXPECT_FALSE(SetMaterialColor(p, roofMaterial, {0, 0, 0}).ok());
  EXPECT_FALSE(SetElementMaterial(p, GuidOf(p, "Floor slab"), roofMaterial).ok());
  EXPECT_FALSE(DeleteMaterial(p, 1, roofMaterial).ok()) << "a deleted material replaces nothing";
  const std::string file = dir / "deleted.pln";
  ASSERT_TRUE(SaveProjectFile(p, file).ok());
  auto loaded = LoadProjectFile(file);
  ASSERT_TRUE(loaded.ok()) << loaded.error();
  EXPECT_TRUE(loaded.value() == p);

  Project one;
  one.materials.resize(1);
  one.materials[0].name = "Only";
  one.elements.push_back({Guid::FromName("box"), 1, "Box", {MakeBox({0, 0, 0}, {1, 1, 1}, 1)}});
  EXPECT_FALSE(DeleteMaterial(one, 1).ok());
  Project two = one;
  two.materials.push_back(two.materials[0]);
  two.materials[1].name = "Other";
  auto moved = DeleteMaterial(two, 1);
  ASSERT_TRUE(moved.ok()) << moved.error();
  EXPECT_EQ(two.elements[0].bodies[0].polygons[0].materialIndex, 2);
}

TEST(HostModelEdit, InvalidEditsFailAndChangeNothing) {
  TempDir dir;
  Project p = SampleBuilding();
  const Project before = p;
  Guid unknown = Guid::FromName("nobody");
  const Guid roof = GuidOf(p, "Roof");
  const double nan = std::nan("");
  std::vector<std::pair<const char*, Result<ChangeSet>>> results;
  results.emplace_back("move unknown", MoveElement(p, unknown, {1, 0, 0}));
  results.emplace_back("move by NaN", MoveElement(p, roof, {nan, 0, 0}));
  results.emplace_back("copy unknown", CopyElement(p, unknown, {}));
  results.emplace_back("delete unknown", DeleteElement(p, unknown));
  results.emplace_back("material 0", SetElementMaterial(p, roof, 0));
  results.emplace_back("material 7", SetElementMaterial(p, roof, 7));
  results.emplace_back("colour > 1", SetMaterialColor(p, 1, {1.5, 0, 0}));
  results.emplace_back("colour NaN", SetMaterialColor(p, 1, {nan, 0, 0}));
  results.emplace_back("colour of 0", SetMaterialColor(p, 0, {0, 0, 0}));
  results.emplace_back("transparency 101", SetMaterialTransparency(p, 1, 101));
  results.emplace_back("transparency -1", SetMaterialTransparency(p, 1, -1));
  results.emplace_back("texture 2", SetMaterialTexture(p, 1, 2));
  results.emplace_back("texture file missing", SetMaterialTextureFile(p, 1, dir / "none.png", 1, 1));
  results.emplace_back("texture size 0", SetMaterialTextureFile(p, 1, dir / "none.png", 0, 1));
  results.emplace_back("flat box", AddBox(p, {0, 0, 0}, {1, 1, 0}, 1));
  results.emplace_back("inverted box", AddBox(p, {1, 0, 0}, {0, 1, 1}, 1));
  results.emplace_back("box material", AddBox(p, {0, 0, 0}, {1, 1, 1}, 9));
  for (const auto& [label, r] : results) {
    EXPECT_FALSE(r.ok()) << label;
    EXPECT_FALSE(r.error().empty()) << label;
  }
  EXPECT_TRUE(p == before);
  EXPECT_NE(results[12].second.error().find("none.png"), std::string::npos);
}

// Many additions, some deletions in between: GUIDs stay unique (the add-on
// tracks elements by them).
// A moved element takes its textures along: every polygon's mapping origin
// moves by the offset, the default mapping's too, and nothing else about
// the mappings changes. A copy moves its own, the original's stay.
TEST(HostModelEdit, MovedAndCopiedElementsTakeTheirMappingsAlong) {
  Project p = SampleBuilding();
  Element& e = p.elements[1];
  Body& b = e.bodies[0];
  ASSERT_GE(b.polygons.size(), 3u);
  SetMapping(b, b.polygons[0], {TextureProjection::Planar, {1, 2, 3}, {0, 1, 0}, {0, 0, 1}});
  SetMapping(b, b.polygons[2], {TextureProjection::Vertex, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  const Body before = b;
  const Vec3 d{0.5, -1, 2};
  auto expectMoved = [&](const Body& moved, const Body& from) {
    ASSERT_EQ(moved.polygons.size(), from.polygons.size());
    for (std::size_t i = 0; i < from.polygons.size(); ++i) {
      TextureMapping want = MappingOf(from, from.polygons[i]);
      want.origin = {want.origin.x + d.x, want.origin.y + d.y, want.origin.z + d.z};
      EXPECT_EQ(MappingOf(moved, moved.polygons[i]), want) << i;
    }
  };
  ASSERT_TRUE(CopyElement(p, e.guid, d).ok());
  expectMoved(p.elements.back().bodies[0], before);
  EXPECT_TRUE(p.elements[1].bodies[0] == before) << "the original keeps its mappings";
  ASSERT_TRUE(MoveElement(p, p.elements[1].guid, d).ok());
  expectMoved(p.elements[1].bodies[0], before);
  EXPECT_EQ(Validate(p), "");
}

TEST(HostModelEdit, AddedBoxesKeepTheirGuidsUnique) {
  Project p = SampleBuilding();
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(AddBox(p, {0, 0, 0}, {1, 1, 1}, 1).ok());
    if (i % 7 == 0) {
      ASSERT_TRUE(DeleteElement(p, p.elements[p.elements.size() / 2].guid).ok());
    }
  }
  EXPECT_EQ(Validate(p), "");
}

// A reloaded file that lists its materials in reverse, recolours one, adds
// one, drops an element, adds one and changes one: host indices stay, only
// the changed parts are reported and renewed, and the same file again
// changes nothing.
TEST(HostModelEdit, ReloadKeepsIndicesAndReportsAddedRemovedAndChanged) {
  Project live = SampleBuilding();
  Project file = SampleBuilding();
  std::reverse(file.materials.begin(), file.materials.end());  // 6 materials: index i becomes 7 - i
  for (Element& e : file.elements)
    for (Body& b : e.bodies)
      for (Polygon& poly : b.polygons) poly.materialIndex = 7 - poly.materialIndex;
  file.materials[2].surfaceColor = {0.5, 0.1, 0.1};  // index 4 live
  file.materials.push_back(Material{});
  file.materials.back().name = "Slate";
  file.materials.back().guid = Guid::FromName("slate");
  const Guid barrel = GuidOf(file, "Rain barrel"), roof = GuidOf(file, "Roof");
  file.elements.erase(file.elements.begin() + file.FindElement(barrel));
  ASSERT_TRUE(AddBox(file, {20, 0, 0}, {21, 1, 1}, 7, "Shed").ok());
  file.elements[static_cast<std::size_t>(file.FindElement(roof))].bodies[0].vertices[0].z += 0.1;
  const Project before = live;

  ChangeSet cs = ApplyReload(live, file);
  EXPECT_EQ(cs.changedElements, std::vector<Guid>{roof});
  EXPECT_EQ(cs.removedElements, std::vector<Guid>{barrel});
  ASSERT_EQ(cs.addedElements.size(), 1u);
  EXPECT_EQ(cs.changedMaterials, std::vector<std::int32_t>{4});
  EXPECT_EQ(cs.addedMaterials, std::vector<std::int32_t>{7});
  EXPECT_EQ(Validate(live), "");
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(live.materials[i].guid, before.materials[i].guid);
  EXPECT_NE(live.materials[3].stamp, before.materials[3].stamp);
  EXPECT_NE(live.elements[live.FindElement(roof)].genId, before.elements[before.FindElement(roof)].genId);
  ExpectOnly(before, live, {roof, barrel}, {4, 7});
  EXPECT_EQ(live.elements[live.FindElement(cs.addedElements[0])].bodies[0].polygons[0].materialIndex, 7);

  Project settled = live;
  EXPECT_TRUE(ApplyReload(live, file).Empty());
  EXPECT_TRUE(live == settled);
}

}  // namespace
}  // namespace hostmodel
