// The material library over a real host project: keys, refresh across
// walks (creation, updates by stamp, removal), lookups and texture variants.
// What a record takes from the host is read back from the link by the
// publication test.
#include <gtest/gtest.h>

#include <cstring>

#include "material_test_host.h"
#include "scene/material_library.h"

using namespace scene;
using namespace material_test;

namespace {

constexpr std::uint64_t kSynthetic1 = 0xFFFFFFFFFFFFFFFEull;  // -2
constexpr std::uint64_t kSynthetic2 = 0xFFFFFFFFFFFFFFFDull;  // -3

std::uint64_t ExpectedGuidKey(const hostmodel::Guid& guid) {
  std::uint64_t lo, hi;
  std::memcpy(&lo, guid.bytes.data(), 8);
  std::memcpy(&hi, guid.bytes.data() + 8, 8);
  return lo ^ hi;
}

class MaterialLibraryTest : public HostFixture {};

}  // namespace

TEST_F(MaterialLibraryTest, KeysComeFromGuidsOrFromNames) {
  hostmodel::Project p;
  p.materials.push_back(MakeMaterial("Concrete"));
  for (const char* name : {"Oak", "Pine", "Oak"}) {
    hostmodel::Material m = MakeMaterial(name);
    m.headerFlags = 0;
    m.guid = hostmodel::Guid::FromName(std::string("other:") + name + std::to_string(p.materials.size()));
    p.materials.push_back(m);
  }
  // A GUID whose halves are equal would give key 0, the default material's.
  hostmodel::Material twin = MakeMaterial("Twin");
  for (int i = 0; i < 8; ++i) twin.guid.bytes[8 + i] = twin.guid.bytes[i];
  p.materials.push_back(twin);
  Open(p);

  MaterialLibrary library;
  for (int run = 0; run < 2; ++run) {
    library.BeginLink(&model, U16(projectPath));
    EXPECT_EQ(library.Refresh(1), 0u);
    EXPECT_EQ(library.ForAttributeIndex(1)->key, ExpectedGuidKey(p.materials[0].guid));
    // Synthetic keys restart at -2 after every reset; one name, one key.
    EXPECT_EQ(library.ForAttributeIndex(2)->key, kSynthetic1) << "run " << run;
    EXPECT_EQ(library.ForAttributeIndex(3)->key, kSynthetic2);
    EXPECT_EQ(library.ForAttributeIndex(4), library.ForAttributeIndex(2));
    const std::uint64_t twinKey = library.ForAttributeIndex(5)->key;
    EXPECT_NE(twinKey, 0u);
    EXPECT_NE(twinKey, kDefaultMaterialKey);
    EXPECT_FALSE(library.ForAttributeIndex(5)->IsDefault());
    EXPECT_EQ(library.RecordCount(), 4u);
  }
}

TEST_F(MaterialLibraryTest, RefreshUpdatesChangedStampsOnlyAndRemovesWhatIsGone) {
  hostmodel::Project p;
  for (const char* name : {"A", "B", "C"}) p.materials.push_back(MakeMaterial(name));
  Open(p);

  MaterialLibrary library;
  library.BeginLink(&model, U16(projectPath));
  EXPECT_EQ(library.Refresh(1), 0u);
  MaterialRecord* a = library.ForAttributeIndex(1);
  MaterialRecord* b = library.ForAttributeIndex(2);
  const std::uint64_t keyC = library.ForAttributeIndex(3)->key;
  // Markers that only a new fill would overwrite.
  a->colour = 0x12345678;
  b->colour = 0x12345678;

  ASSERT_TRUE(host->SetMaterialColor(2, {0.0, 0.0, 1.0}).ok());
  EXPECT_EQ(library.Refresh(2), 0u);
  EXPECT_EQ(library.ForAttributeIndex(1), a);
  EXPECT_EQ(a->colour, 0x12345678u) << "an unchanged stamp leaves the record alone";
  EXPECT_EQ(b->colour, 0xFF0000FFu);
  EXPECT_EQ(a->lastWalk, 2u);

  ASSERT_TRUE(host->DeleteMaterial(3).ok());
  EXPECT_EQ(library.Refresh(3), 1u);
  EXPECT_TRUE(library.Find(keyC)->IsDefault());
  EXPECT_TRUE(library.ForAttributeIndex(3)->IsDefault()) << "a failed read maps to the default material";
  // Indices compare as signed 16-bit numbers; unknown ones and key 0 give
  // the default material.
  EXPECT_EQ(library.ForAttributeIndex(1 + 65536), a);
  EXPECT_TRUE(library.ForAttributeIndex(-1)->IsDefault());
  EXPECT_EQ(library.Find(0), &library.DefaultMaterial());
  EXPECT_EQ(library.RecordCount(), 2u);
  EXPECT_EQ(library.Refresh(4), 0u);
}

TEST_F(MaterialLibraryTest, PolygonTexturesMakeUniquelyNamedVariants) {
  hostmodel::Project p;
  p.materials.push_back(MakeMaterial("Brick"));
  p.materials[0].surfaceColor = {0.0, 1.0, 0.0};
  p.textures.push_back(MakeTexture("one", 4, 4, false, false, 1));
  p.textures.push_back(MakeTexture("two", 2, 2, false, false, 2));
  Open(p);

  MaterialLibrary library;
  library.BeginLink(&model, U16(projectPath));
  library.Refresh(1);
  const MaterialRecord* brick = library.ForAttributeIndex(1);
  ModelerAPI::Texture one, two;
  model.GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::TextureIndex, 1), &one);
  model.GetTexture(ModelerAPI::AttributeIndex(ModelerAPI::AttributeIndex::TextureIndex, 2), &two);

  MaterialRecord* v1 = library.WithPolygonTexture(brick, one);
  MaterialRecord* v2 = library.WithPolygonTexture(brick, two);
  EXPECT_EQ(v1->name, u"Brick(1)");
  EXPECT_EQ(v2->name, u"Brick(2)");
  EXPECT_EQ(v1->key, kSynthetic1);
  EXPECT_EQ(v2->key, kSynthetic2);
  EXPECT_EQ(v1->attrIndex, -1);
  EXPECT_EQ(v1->colour, 0xFF00FF00u);
  EXPECT_EQ(v1->textureIndex, 1);
  EXPECT_EQ(v2->textureIndex, 2);
  EXPECT_FLOAT_EQ(v1->textureWidth, 2.0f);
  EXPECT_FLOAT_EQ(v1->textureHeight, 0.5f);
  EXPECT_NE(v1->texturePixels, nullptr);
  EXPECT_EQ(library.WithPolygonTexture(brick, one), v1) << "one variant per texture";
  EXPECT_EQ(library.WithPolygonTexture(v2, one), v1);

  // Variants stay while the model has their texture; one whose texture the
  // model does not have goes at the next walk.
  hostmodel::Project foreign;
  foreign.textures.push_back(MakeTexture("three", 3, 3, false, false, 3));
  UncheckedModel other(foreign);
  MaterialRecord* v3 = library.WithPolygonTexture(brick, other.TextureAt(1));
  EXPECT_EQ(v3->name, u"Brick(3)");
  EXPECT_EQ(v3->textureIndex, -1);
  const std::uint64_t key3 = v3->key;
  EXPECT_EQ(library.Refresh(2), 1u);
  EXPECT_EQ(library.Refresh(3), 0u);
  EXPECT_TRUE(library.Find(key3)->IsDefault());
  EXPECT_EQ(library.Find(v1->key), v1);
  EXPECT_EQ(library.Find(v2->key), v2);
}
