// Publication of materials into a real control area, read back as a
// renderer reads it (the link's canonical form): every kind of host
// material with memory textures and with texture files; texture blocks
// created, grown, reused and released; republishing only what changed,
// retirement as "SRFI"; the default material at every link start; text
// fields that keep their terminator.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "base/utf.h"
#include "isolation.h"
#include "livelink/canonical_scene.h"
#include "livelink/layout.h"
#include "livelink/live_connection.h"
#include "material_test_host.h"
#include "scene/material_library.h"
#include "scene/texture_paths.h"
#include "util/files.h"
#include "util/text.h"

using namespace scene;
using namespace material_test;
using CorvantaAPI::CanonicalMaterial;
using CorvantaAPI::CanonicalScene;
using CorvantaAPI::Record;

namespace {

std::uint32_t Word(const Record* record, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, reinterpret_cast<const std::uint8_t*>(record) + at, 4);
  return v;
}

// The 64-bit FNV-1a digest the canonical form gives a texture, worked out
// from what the renderer should get: for a block the bitmap's size and its
// R,G,B,A pixels, for a file its bytes.
std::uint64_t Fnv(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t v = 0xcbf29ce484222325ull;
  for (std::uint8_t b : bytes) v = (v ^ b) * 0x100000001b3ull;
  return v | 1;
}
std::uint64_t PixelDigest(const hostmodel::Texture& t) {
  std::vector<std::uint8_t> bytes(8);
  std::memcpy(bytes.data(), &t.width, 4);
  std::memcpy(bytes.data() + 4, &t.height, 4);
  for (std::size_t i = 0; i < t.pixels.size(); i += 4)
    bytes.insert(bytes.end(), {t.pixels[i + 1], t.pixels[i + 2], t.pixels[i + 3],
                               std::uint8_t(t.transparentPattern ? t.pixels[i] : 255)});
  return Fnv(bytes);
}
std::uint64_t FileDigest(const std::u16string& path) {
  std::ifstream in(base::ToUtf8(path), std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return Fnv(bytes);
}

class MaterialPublishTest : public HostFixture {
 protected:
  void SetUp() override {
    livelink_test::Isolated();
    HostFixture::SetUp();
    ASSERT_EQ(connection.Create(livelink_test::UniqueName("materials"), 64), 0);
  }
  void TearDown() override {
    connection.Destroy();
    HostFixture::TearDown();
  }
  CorvantaAPI::LiveConnection connection;
};

}  // namespace

// One project with every kind of material a renderer tells apart: host
// values scaled into the record, surface types from names, opacity and the
// host's type, empty and overlong names, textures with and without a
// transparent pattern; published with memory textures and then, on a new
// link, with texture files.
TEST_F(MaterialPublishTest, EveryKindOfMaterialAsTheRendererSeesIt) {
  hostmodel::Project p;
  auto add = [&](const std::string& name, int transparency, int shininess, int attenuation, int percentage,
                 hostmodel::ColorRGB colour, int type = 0, int texture = 0) {
    hostmodel::Material m = MakeMaterial(name, texture);
    m.transparency = std::int16_t(transparency);
    m.shininess = std::int16_t(shininess);
    m.attenuation = std::uint16_t(attenuation);
    m.percentage = std::int16_t(percentage);
    m.surfaceColor = colour;
    m.materialType = std::int16_t(type);
    p.materials.push_back(m);
  };
  add("Brick/red", 30, 2500, 65535, 40, {1.0, 0.5, 0.0});
  p.materials.back().secondColor = {0.2, 0.4, 0.6};
  add("Pool water", 25, 4000, 13107, 80, {0.2, 0.4, 1.0});
  add("Window glass", 50, 0, 0, 0, {0, 0, 0});
  add("Glass block", 0, 0, 0, 0, {0, 0, 0});  // an opaque glass name is no glass
  add("Steel", 0, 10000, 0, 100, {0.5, 0.5, 0.5}, 5);  // host type 5 is glass
  add("Clear", 100, 0, 0, 0, {1, 1, 1});
  add("", 0, 0, 0, 0, {0, 0, 1});
  add(std::string(300, 'w'), 0, 0, 0, 0, {0, 1, 0});
  add("Tiles", 0, 0, 0, 0, {1, 0, 0}, 0, 1);
  add("Render", 75, 0, 0, 0, {1, 0, 0}, 0, 2);
  p.textures.push_back(MakeTexture("tiles", 5, 4, true, true, 1));  // a transparent pattern keeps its alpha
  p.textures.push_back(MakeTexture("render", 6, 3, true, false, 2));
  Open(p);

  // name, surface type, colour, shine, opacity, attenuation, percentage, texture.
  struct Row {
    std::u16string name;
    std::int32_t type;
    std::uint32_t colour;
    float shine, opacity, attenuation, percentage;
    int texture;
  };
  const std::vector<Row> rows = {
      {u"Default material", 0, 0xFFAAAAAAu, 1.0f, 0.0f, 0.0f, 0.0f, 0},
      {u"Brick_red", 0, 0xFFFF7F00u, 0.25f, 0.7f, 1.0f, 0.4f, 0},
      {u"Pool water", 1, 0xFF3366FFu, 0.4f, 0.75f, 0.2f, 0.8f, 0},
      {u"Window glass", 2, 0xFF000000u, 0.0f, 0.5f, 0.0f, 0.0f, 0},
      {u"Glass block", 0, 0xFF000000u, 0.0f, 1.0f, 0.0f, 0.0f, 0},
      {u"Steel", 2, 0xFF7F7F7Fu, 1.0f, 1.0f, 0.0f, 1.0f, 0},
      {u"Clear", 0, 0xFFFFFFFFu, 0.0f, 0.0f, 0.0f, 0.0f, 0},
      {u"", 0, 0xFF0000FFu, 0.0f, 1.0f, 0.0f, 0.0f, 0},
      {std::u16string(255, u'w'), 0, 0xFF00FF00u, 0.0f, 1.0f, 0.0f, 0.0f, 0},  // the host gives 255 bytes
      {u"Tiles", 0, 0x00FFFFFFu, 0.0f, 1.0f, 0.0f, 0.0f, 1},
      {u"Render", 0, 0x00FFFFFFu, 0.0f, 0.25f, 0.0f, 0.0f, 2},
  };

  MaterialLibrary library(&connection);
  for (bool files : {false, true}) {
    SCOPED_TRACE(files ? "texture files" : "memory textures");
    if (files) {
      connection.Destroy();
      ASSERT_EQ(connection.Create(livelink_test::UniqueName("materials"), 64), 0);
    }
    library.BeginLink(&model, U16(projectPath));
    library.SetMemoryTextures(!files);
    library.Refresh(1);
    ASSERT_TRUE(library.HasPending());
    library.Publish();
    EXPECT_FALSE(library.HasPending());
    EXPECT_EQ(connection.TestFlags(CorvantaAPI::kFlagChanged), CorvantaAPI::kFlagChanged);

    CanonicalScene expected;
    for (const Row& row : rows) {
      CanonicalMaterial m;
      m.name = row.name;
      m.surfaceType = row.type;
      m.colour = row.colour;
      m.floats = {0.5f, row.shine, 0.0f, 0.0f, row.opacity, row.attenuation, 1.0f, row.percentage};
      m.textured = row.texture != 0;
      if (row.texture != 0 && files) {
        const MaterialRecord& r = *library.ForAttributeIndex(int(&row - rows.data()));
        m.texturePath = U16(temp.File("House_Textures/")) + ImageFileName(r.key, row.texture == 1 ? u"png" : u"jpg");
        m.textureDigest = FileDigest(m.texturePath);
        EXPECT_EQ(Word(r.linkRecord, 856), std::uint32_t(util::GetFileTimeStamp(m.texturePath, 2)));
      } else if (row.texture != 0) {
        m.textureDigest = PixelDigest(p.textures[std::size_t(row.texture - 1)]);
      }
      expected.surfaces.push_back({m, {}});
    }
    CorvantaAPI::Canonicalize(expected);
    const CanonicalScene held = CorvantaAPI::ReadCanonicalScene(connection);
    for (const auto& problem : held.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(CorvantaAPI::DescribeDifferences(held, expected, "published", "expected"), "");
    EXPECT_EQ(held.firstSurface, u"Default material");
    // Changed parameters and a texture state set (to none or to one), on
    // a record whose fixed trailer is intact.
    const Record* brick = library.ForAttributeIndex(1)->linkRecord;
    EXPECT_EQ(Word(brick, 12), 0x301u);
    EXPECT_EQ(Word(brick, 20), 1u) << "material change counter";
    EXPECT_EQ(Word(brick, 1388), 0xFFFFFFFFu);
  }
  // The second colour stays with the record (the export writes it).
  EXPECT_EQ(library.ForAttributeIndex(1)->secondColour, 0xFF336699u);
}

// What the block holds is the test above's; here its life: created with
// the record, replaced when it is outgrown, kept for a smaller texture,
// released with the texture.
TEST_F(MaterialPublishTest, MemoryTextureTravelsInABlockThatGrowsAndIsReleased) {
  hostmodel::Project p;
  p.materials.push_back(MakeMaterial("Brick", 1));
  p.textures.push_back(MakeTexture("small", 4, 3, true, false, 1));
  p.textures.push_back(MakeTexture("large", 8, 8, true, true, 2));
  Open(p);

  MaterialLibrary library(&connection);
  library.BeginLink(&model, U16(projectPath));
  library.Refresh(1);
  library.Publish();
  MaterialRecord& r = *library.ForAttributeIndex(1);
  ASSERT_NE(r.linkRecord, nullptr);
  const std::uint32_t first = r.textureBlockId;
  ASSERT_NE(first, 0u);
  EXPECT_EQ(Word(r.linkRecord, 856), 1u) << "the first memory texture of the run";
  EXPECT_EQ(Word(r.linkRecord, 1380), first);
  EXPECT_EQ(Word(r.linkRecord, 1384), 54u + 4 * 12);

  // A larger texture needs a new block; the old one is released.
  ASSERT_TRUE(host->SetMaterialTexture(1, 2).ok());
  library.Refresh(2);
  library.Publish();
  const std::uint32_t second = r.textureBlockId;
  EXPECT_NE(second, first);
  EXPECT_EQ(connection.GetBlockSize(first), 0u);
  EXPECT_EQ(Word(r.linkRecord, 1380), second);
  EXPECT_EQ(Word(r.linkRecord, 1384), 54u + 256u);
  EXPECT_EQ(Word(r.linkRecord, 856), 2u) << "every rebuilt memory texture counts as a change";
  EXPECT_EQ(Word(r.linkRecord, 12) & 0x200u, 0x200u);
  for (const auto& s : CorvantaAPI::ReadCanonicalScene(connection).surfaces) {
    if (s.material.name == u"Brick") {
      EXPECT_EQ(s.material.textureDigest, PixelDigest(p.textures[1]));
    }
  }

  // A smaller one fits the block it has.
  ASSERT_TRUE(host->SetMaterialTexture(1, 1).ok());
  library.Refresh(3);
  library.Publish();
  EXPECT_EQ(r.textureBlockId, second);
  EXPECT_EQ(Word(r.linkRecord, 1384), 310u);

  // Without texture the block goes and the material's own colour returns.
  ASSERT_TRUE(host->SetMaterialTexture(1, 0).ok());
  library.Refresh(4);
  library.Publish();
  EXPECT_EQ(connection.GetBlockSize(second), 0u);
  EXPECT_EQ(Word(r.linkRecord, 1380), 0u);
  EXPECT_EQ(Word(r.linkRecord, 1384), 0u);
  EXPECT_EQ(Word(r.linkRecord, 856), 0u);
  EXPECT_EQ(Word(r.linkRecord, 804), r.colour);
}

TEST_F(MaterialPublishTest, OnlyChangedMaterialsAreRepublishedAndRemovedOnesRetire) {
  hostmodel::Project p;
  p.materials.push_back(MakeMaterial("A", 1));
  p.materials.push_back(MakeMaterial("B"));
  p.textures.push_back(MakeTexture("t", 2, 2, false, false));
  Open(p);

  MaterialLibrary library(&connection);
  library.BeginLink(&model, U16(projectPath));
  library.Refresh(1);
  library.Publish();
  MaterialRecord& a = *library.ForAttributeIndex(1);
  MaterialRecord& b = *library.ForAttributeIndex(2);
  Record* aRecord = a.linkRecord;
  Record* bRecord = b.linkRecord;
  ASSERT_NE(aRecord, nullptr);
  ASSERT_NE(bRecord, nullptr);
  // The renderer takes the records.
  connection.ClearRecordFlags(aRecord, 0xFFFFFFFFu);
  connection.ClearRecordFlags(bRecord, 0xFFFFFFFFu);

  library.Refresh(2);
  EXPECT_FALSE(library.HasPending()) << "an unchanged stamp is not republished";
  library.Publish();
  EXPECT_EQ(Word(bRecord, 12), 0u);

  ASSERT_TRUE(host->SetMaterialColor(2, {1.0, 0.0, 0.0}).ok());
  library.Refresh(3);
  library.Publish();
  EXPECT_EQ(Word(aRecord, 12), 0u);
  EXPECT_EQ(Word(bRecord, 12) & 0x101u, 0x101u);
  EXPECT_EQ(Word(bRecord, 20), 2u) << "material change counter";
  EXPECT_EQ(Word(bRecord, 804), 0xFFFF0000u);

  // A removed material retires its record and its texture block goes at
  // once; the geometry block is the scene's, told through the listener
  // (that a block id the renderer wrote into the record is never freed is
  // held by the exactness test).
  const std::uint32_t texture = a.textureBlockId;
  const std::uint64_t aKey = a.key;
  ASSERT_NE(texture, 0u);
  using Event = MaterialLibrary::RecordEvent;
  std::vector<std::pair<std::uint64_t, Event>> heard;
  library.SetRecordListener([&](std::uint64_t key, Event event) { heard.emplace_back(key, event); });
  connection.ClearFlags(CorvantaAPI::kFlagChanged);
  ASSERT_TRUE(host->DeleteMaterial(1).ok());
  EXPECT_EQ(library.Refresh(4), 1u);
  EXPECT_EQ(heard, (std::vector<std::pair<std::uint64_t, Event>>{{aKey, Event::kRemoved}}));
  EXPECT_EQ(Word(aRecord, 0), CorvantaAPI::kTypeRetiredSurface);
  EXPECT_EQ(Word(aRecord, 12) & 1u, 1u);
  EXPECT_EQ(Word(aRecord, 1924), 0u);
  EXPECT_EQ(Word(aRecord, 1928), 0u);
  EXPECT_EQ(Word(aRecord, 1380), 0u);
  EXPECT_EQ(connection.GetBlockSize(texture), 0u);
  EXPECT_EQ(connection.TestFlags(CorvantaAPI::kFlagChanged), CorvantaAPI::kFlagChanged);
  EXPECT_EQ(connection.CountRecords(CorvantaAPI::kTypeSurface, 0, 0), 2u);
}

// The default material goes out at a link start on an empty model too (the
// test above has it at two starts); its text fields keep their terminator.
TEST_F(MaterialPublishTest, DefaultMaterialAtEveryLinkStartWithTerminatedText) {
  Open(hostmodel::Project{});
  MaterialLibrary library(&connection);
  MaterialRecord& d = library.DefaultMaterial();
  auto nameUnit = [&](std::size_t i) {
    char16_t c;
    std::memcpy(&c, reinterpret_cast<const std::uint8_t*>(d.linkRecord) + 24 + 2 * i, 2);
    return c;
  };
  library.BeginLink(&model, U16(projectPath));
  ASSERT_TRUE(library.HasPending());
  library.Publish();
  ASSERT_NE(d.linkRecord, nullptr);
  EXPECT_EQ(CorvantaAPI::ReadCanonicalScene(connection).firstSurface, u"Default material");

  library.BeginLink(&model, U16(projectPath));
  d.name = std::u16string(300, u'n');
  library.Publish();
  EXPECT_EQ(nameUnit(258), u'n');
  EXPECT_EQ(nameUnit(259), u'\0') << "259 units and a NUL";
  EXPECT_EQ(Word(d.linkRecord, 544), 0u) << "nothing spills into the next field";
  // A pair of surrogates is not cut in half.
  library.BeginLink(&model, U16(projectPath));
  d.name = std::u16string(258, u'n') + u"\U0001F600";
  library.Publish();
  EXPECT_EQ(nameUnit(257), u'n');
  EXPECT_EQ(nameUnit(258), u'\0');
  d.name = u"Default material";
}
