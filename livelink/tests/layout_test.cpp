// The wire layouts as the other process sees them. Every field offset is
// pinned by the static_asserts in layout.h; what is pinned here are the
// values those offsets cannot show (type codes in memory order, the sizes of
// a geometry block), and that the renderer's reader finds what a writer put
// at the protocol's raw offsets of a real area.
#include <gtest/gtest.h>

#include <cstring>

#include "isolation.h"
#include "livelink/layout.h"
#include "livelink/link_reader.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;

// "HEAD" is 'H','E','A','D' in memory: 0x44414548 read little-endian.
static_assert(kTypeHead == 0x44414548u && kTypeSurface == 0x43465253u && kTypeRetiredSurface == 0x49465253u);
static_assert(kTypeView == 0x57454956u && kTypeStat == 0x54415453u);
// 5 vertices, 9 indices, one set: 12 + 60 + 60 + 40 + 36 bytes.
static_assert(GeometryLayout(5, 9, 1).normals == 72 && GeometryLayout(5, 9, 1).texCoords == 132);
static_assert(GeometryLayout(5, 9, 1).indices == 172 && GeometryLayout(5, 9, 1).totalBytes == 208);
// Counts a peer could write do not wrap the sizes.
static_assert(GeometryLayout(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu).totalBytes > 0xFFFFFFFFull);
static_assert(RecordSizeForType(kTypeView) == 652 && RecordSizeForType(kTypeStat) == 28);
static_assert(RecordSizeForType(kTypeSurface) == 1932 && RecordSizeForType(MakeType("ABCD")) == 20);

TEST(LivelinkLayoutTest, ReaderFindsWhatTheCreatorWroteAtTheProtocolOffsets) {
  livelink_test::Isolated();
  const std::u16string name = livelink_test::UniqueName("layout");
  LiveConnection creator;
  ASSERT_EQ(creator.Create(name, 16), 0);
  creator.SetLabel(u"House");
  const StatusMap status = {{u"toolName", {0, u"Host 7"}}};
  creator.UpdateStatus(status);
  Record* surface = creator.CreateRecord(kTypeSurface);
  ASSERT_NE(surface, nullptr);
  // The writer addresses the tail by raw offset, as a renderer author would.
  auto* raw = reinterpret_cast<std::uint8_t*>(surface);
  const std::uint32_t textureId = 0x99, blockId = 0x1234, capacity = 0x5678;
  std::memcpy(raw + 1380, &textureId, 4);
  std::memcpy(raw + 1924, &blockId, 4);
  std::memcpy(raw + 1928, &capacity, 4);

  CameraViewData camera{};
  camera.kind = kCameraPerspective;
  camera.fieldOfView = 45;
  camera.position[1] = 1.61f;
  camera.backward[2] = -1;
  camera.up[1] = 1;
  creator.UpdateView(false, &camera);
  const auto* view = reinterpret_cast<const std::uint8_t*>(creator.OwnViewRecord());
  std::uint32_t kind;
  std::memcpy(&kind, view + 24 + 584, 4);
  EXPECT_EQ(kind, 6u);

  LiveConnection guest;
  ASSERT_EQ(guest.Open(name), 0);
  LinkReader reader(guest);
  const LinkSnapshot snapshot = reader.Read();
  EXPECT_EQ(snapshot.label, u"House");
  EXPECT_EQ(snapshot.statusText, StatusText(status));
  bool found = false;
  for (const RecordInfo& info : snapshot.records) {
    if (info.type != kTypeSurface) continue;
    found = true;
    EXPECT_EQ(TypeName(info.type), "SRFC");
    EXPECT_EQ(info.blockId, blockId);  // the geometry block, not the texture's
    EXPECT_EQ(info.blockCapacity, capacity);
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(TypeName(0x01020304), "????");
  ASSERT_TRUE(snapshot.camera.present);
  EXPECT_EQ(snapshot.camera.active, 0u);
  EXPECT_EQ(snapshot.camera.kind, 6u);
  EXPECT_FLOAT_EQ(snapshot.camera.fieldOfView, 45);
  EXPECT_FLOAT_EQ(snapshot.camera.position[1], 1.61f);
  EXPECT_FLOAT_EQ(snapshot.camera.backward[2], -1);
  EXPECT_FLOAT_EQ(snapshot.camera.up[1], 1);
  guest.Close();
  creator.Destroy();
}
