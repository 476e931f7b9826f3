// Publication of materials into a real control area: the "SRFC" record
// pinned byte by byte with and without texture, texture blocks created,
// grown, reused and released, republishing only what changed, retirement as
// "SRFI", the default material at every link start, and text fields that
// keep their terminator.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "isolation.h"
#include "livelink/layout.h"
#include "livelink/live_connection.h"
#include "material_test_host.h"
#include "scene/material_library.h"
#include "scene/texture_paths.h"
#include "util/files.h"

using namespace scene;
using namespace material_test;
using CorvantaAPI::Record;

namespace {

// The expected bytes of a record, built field by field from the layout's
// offsets (not from the struct the library writes through).
class Expected {
 public:
  Expected() : bytes_(1932, 0) {
    U32(1388, 0xFFFFFFFFu);
  }
  void U32(std::size_t at, std::uint32_t v) { std::memcpy(&bytes_[at], &v, 4); }
  void F32(std::size_t at, float v) { std::memcpy(&bytes_[at], &v, 4); }
  void Text(std::size_t at, const std::u16string& s) { std::memcpy(&bytes_[at], s.data(), 2 * s.size()); }
  void Material(const MaterialRecord& r, std::uint32_t changes, std::uint32_t colour) {
    U32(20, changes);
    Text(24, r.name);
    U32(544, std::uint32_t(r.surfaceType));
    U32(804, colour);
    F32(808, 0.5f);
    F32(812, r.shine);
    F32(816, 0.0f);
    F32(820, 0.0f);
    F32(824, r.opacity);
    F32(828, r.attenuation);
    F32(832, 1.0f);
    F32(836, r.percentage);
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

std::vector<std::uint8_t> SlotBytes(const Record* record) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(record);
  return std::vector<std::uint8_t>(p, p + 1932);
}

std::uint32_t Word(const Record* record, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, reinterpret_cast<const std::uint8_t*>(record) + at, 4);
  return v;
}

void ExpectPayload(const Record* record, const Expected& expected) {
  const std::vector<std::uint8_t> actual = SlotBytes(record);
  for (std::size_t i = 20; i < 1932; ++i)
    ASSERT_EQ(int(actual[i]), int(expected.bytes()[i])) << "byte " << i << " of the surface record";
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

TEST_F(MaterialPublishTest, RecordWithoutTexturePinnedByteByByte) {
  hostmodel::Project p;
  hostmodel::Material m = MakeMaterial("Pool water");
  m.transparency = 25;
  m.shininess = 4000;
  m.attenuation = 13107;
  m.percentage = 80;
  m.surfaceColor = {0.2, 0.4, 1.0};
  p.materials.push_back(m);
  Open(p);

  MaterialLibrary library(&connection);
  library.BeginLink(&model, U16(projectPath));
  library.Refresh(1);
  ASSERT_TRUE(library.HasPending());
  library.Publish();
  EXPECT_FALSE(library.HasPending());
  EXPECT_EQ(connection.TestFlags(CorvantaAPI::kFlagChanged), CorvantaAPI::kFlagChanged);

  const MaterialRecord& r = *library.ForAttributeIndex(1);
  ASSERT_NE(r.linkRecord, nullptr);
  EXPECT_EQ(Word(r.linkRecord, 0), CorvantaAPI::kTypeSurface);
  EXPECT_EQ(Word(r.linkRecord, 4), 1932u);
  EXPECT_NE(Word(r.linkRecord, 8), 0u);
  // Changed parameters, and a texture state that was set (to none).
  EXPECT_EQ(Word(r.linkRecord, 12), 0x301u);
  Expected expected;
  expected.Material(r, 1, 0xFF3366FFu);
  EXPECT_EQ(r.surfaceType, 1);
  EXPECT_FLOAT_EQ(r.opacity, 0.75f);
  ExpectPayload(r.linkRecord, expected);

  // The default material went out too, with its own values.
  const MaterialRecord& d = library.DefaultMaterial();
  ASSERT_NE(d.linkRecord, nullptr);
  Expected def;
  def.Material(d, 0, 0xFFAAAAAAu);
  EXPECT_EQ(d.opacity, 0.0f);
  EXPECT_EQ(d.shine, 1.0f);
  ExpectPayload(d.linkRecord, def);
  EXPECT_EQ(connection.CountRecords(CorvantaAPI::kTypeSurface, 0, 0), 2u);
}

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
  ASSERT_NE(r.texturePixels, nullptr);
  const std::uint32_t first = r.textureBlockId;
  ASSERT_NE(first, 0u);
  EXPECT_EQ(Word(r.linkRecord, 12), 0x301u);
  Expected expected;
  expected.Material(r, 1, 0x00FFFFFFu);
  expected.U32(856, 1);  // the first memory texture of the run
  expected.U32(1380, first);
  expected.U32(1384, 54 + 4 * 12);
  ExpectPayload(r.linkRecord, expected);
  // The block holds the bitmap (its layout is the bitmap test's), alpha
  // forced to 255 since the texture is no transparent pattern.
  ASSERT_GE(connection.GetBlockSize(first), 102u);
  const auto* block = static_cast<const std::uint8_t*>(connection.OpenBlock(first));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::memcmp(block, r.texturePixels.get(), 102), 0);
  EXPECT_EQ(block[54 + 3], 255);
  EXPECT_EQ(block[54 + 2], p.textures[0].pixels[1]);

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
  const auto* big = static_cast<const std::uint8_t*>(connection.OpenBlock(second));
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big[54 + 3], p.textures[1].pixels[0]) << "a transparent pattern keeps its alpha";

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

TEST_F(MaterialPublishTest, TextureFileTravelsAsItsPath) {
  hostmodel::Project p;
  p.materials.push_back(MakeMaterial("Brick", 1));
  p.textures.push_back(MakeTexture("small", 4, 3, false, false, 1));
  Open(p);

  MaterialLibrary library(&connection);
  library.BeginLink(&model, U16(projectPath));
  library.SetMemoryTextures(false);
  library.Refresh(1);
  library.Publish();
  const MaterialRecord& r = *library.ForAttributeIndex(1);
  const std::u16string path = U16(temp.File("House_Textures/")) + ImageFileName(r.key, u"jpg");
  ASSERT_EQ(r.texturePath, path);
  ASSERT_TRUE(util::FileExists(path));
  Expected expected;
  expected.Material(r, 1, 0x00FFFFFFu);
  expected.U32(856, std::uint32_t(util::GetFileTimeStamp(path, 2)));
  expected.Text(860, path);
  ExpectPayload(r.linkRecord, expected);
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

// The default material goes out at every link start, on an empty model
// too; its text fields keep their terminator.
TEST_F(MaterialPublishTest, DefaultMaterialAtEveryLinkStartWithTerminatedText) {
  Open(hostmodel::Project{});
  MaterialLibrary library(&connection);
  MaterialRecord& d = library.DefaultMaterial();
  auto nameUnit = [&](std::size_t i) {
    char16_t c;
    std::memcpy(&c, reinterpret_cast<const std::uint8_t*>(d.linkRecord) + 24 + 2 * i, 2);
    return c;
  };
  for (int run = 0; run < 2; ++run) {
    if (run == 1) {
      connection.Destroy();
      ASSERT_EQ(connection.Create(livelink_test::UniqueName("materials"), 64), 0);
    }
    library.BeginLink(&model, U16(projectPath));
    ASSERT_TRUE(library.HasPending());
    library.Publish();
    ASSERT_NE(d.linkRecord, nullptr) << "run " << run;
    EXPECT_EQ(connection.CountRecords(CorvantaAPI::kTypeSurface, 0, 0), 1u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(reinterpret_cast<const std::uint8_t*>(d.linkRecord) + 24)),
              u"Default material");
  }

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
