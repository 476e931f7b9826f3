// The wire layouts as the other process sees them: every struct written
// field by field must give exactly the byte image the protocol describes
// (no padding, no field in the wrong place, little-endian), and the reader
// must find what a writer put at the protocol's offsets of a real area.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "isolation.h"
#include "livelink/layout.h"
#include "livelink/link_reader.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;

namespace {

// An expected byte image, filled at absolute offsets.
class Image {
 public:
  explicit Image(std::size_t size) : bytes_(size, 0) {}
  void U32(std::size_t offset, std::uint32_t value) { Raw(offset, &value, 4); }
  void U16(std::size_t offset, std::uint16_t value) { Raw(offset, &value, 2); }
  void F32(std::size_t offset, float value) { Raw(offset, &value, 4); }
  void Text(std::size_t offset, const std::u16string& text) {
    Raw(offset, text.data(), text.size() * 2);
  }
  void Raw(std::size_t offset, const void* data, std::size_t size) {
    ASSERT_LE(offset + size, bytes_.size());
    std::memcpy(bytes_.data() + offset, data, size);
  }
  // Index of the first byte that differs, -1 when the images agree.
  long FirstDifference(const void* actual) const {
    const auto* a = static_cast<const std::uint8_t*>(actual);
    for (std::size_t i = 0; i < bytes_.size(); ++i)
      if (a[i] != bytes_[i]) return static_cast<long>(i);
    return -1;
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace

TEST(LivelinkLayoutTest, TypeCodesAreFourBytesInMemoryOrder) {
  const std::uint32_t head = kTypeHead;
  char bytes[4];
  std::memcpy(bytes, &head, 4);
  EXPECT_EQ(std::string(bytes, 4), "HEAD");
  EXPECT_EQ(TypeName(kTypeSurface), "SRFC");
  EXPECT_EQ(TypeName(kTypeRetiredSurface), "SRFI");
  EXPECT_EQ(TypeName(0x01020304), "????");
}

TEST(LivelinkLayoutTest, StructsWriteTheProtocolsByteImages) {
  {
    SurfaceRecord surface{};
    surface.head = {kTypeSurface, kSurfaceRecordSize, 7, 0x301, 9};
    surface.materialChangeCount = 0x01020304;
    std::memcpy(surface.name, u"Glass", 10);
    surface.surfaceType = -2;
    surface.colour = 0xFF112233;
    surface.fixedA = 0.5f;
    surface.shine = 1.25f;
    surface.fixedB = 2;
    surface.fixedC = 3;
    surface.opacity = 0.75f;
    surface.attenuation = 4;
    surface.fixedD = 1;
    surface.percentage = 0.125f;
    surface.textureStamp = 0xA1B2C3D4;
    std::memcpy(surface.texturePath, u"C:/t.png", 16);
    surface.textureBlockId = 0x11;
    surface.textureBlockCapacity = 0x22;
    surface.allOnes = kSurfaceAllOnes;
    surface.geometryChangeCount = 0x33;
    surface.geometryBlockId = 0x44;
    surface.geometryBlockCapacity = 0x55;
    Image image(1932);
    for (std::uint32_t i = 0; i < 5; ++i)
      image.U32(4 * i, std::array<std::uint32_t, 5>{kTypeSurface, 1932, 7, 0x301, 9}[i]);
    image.U32(20, 0x01020304);
    image.Text(24, u"Glass");
    image.U32(544, 0xFFFFFFFE);
    image.U32(804, 0xFF112233);
    const float floats[] = {0.5f, 1.25f, 2, 3, 0.75f, 4, 1, 0.125f};
    for (std::size_t i = 0; i < 8; ++i) image.F32(808 + 4 * i, floats[i]);
    image.U32(856, 0xA1B2C3D4);
    image.Text(860, u"C:/t.png");
    image.U32(1380, 0x11);
    image.U32(1384, 0x22);
    image.U32(1388, 0xFFFFFFFF);
    image.U32(1920, 0x33);
    image.U32(1924, 0x44);
    image.U32(1928, 0x55);
    EXPECT_EQ(image.FirstDifference(&surface), -1) << "surface record";
  }
  {
    CameraViewData camera{};
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) camera.cameraToWorld[r][c] = static_cast<float>(r * 4 + c + 1);
    camera.kind = kCameraPerspective;
    camera.fieldOfView = 45;
    for (int i = 0; i < 3; ++i) {
      camera.position[i] = 10.0f + static_cast<float>(i);
      camera.backward[i] = 20.0f + static_cast<float>(i);
      camera.up[i] = 30.0f + static_cast<float>(i);
    }
    Image image(628);
    for (int i = 0; i < 16; ++i) image.F32(4 * static_cast<std::size_t>(i), static_cast<float>(i + 1));
    image.U32(584, 6);
    image.F32(588, 45);
    for (std::size_t i = 0; i < 3; ++i) {
      image.F32(592 + 4 * i, 10.0f + static_cast<float>(i));
      image.F32(604 + 4 * i, 20.0f + static_cast<float>(i));
      image.F32(616 + 4 * i, 30.0f + static_cast<float>(i));
    }
    EXPECT_EQ(image.FirstDifference(&camera), -1) << "camera data";
  }
  {
    // A 3 x 2 memory texture.
    BitmapHeader bitmap{};
    bitmap.magic[0] = 'B';
    bitmap.magic[1] = 'M';
    bitmap.fileSize = 54 + 24;
    bitmap.pixelOffset = kBitmapHeaderBytes;
    bitmap.infoSize = kBitmapInfoBytes;
    bitmap.width = 3;
    bitmap.height = -2;
    bitmap.planes = 1;
    bitmap.bitsPerPixel = 32;
    bitmap.imageSize = 24;
    Image image(54);
    image.Raw(0, "BM", 2);
    image.U32(2, 78);
    image.U32(10, 54);
    image.U32(14, 40);
    image.U32(18, 3);
    image.U32(22, 0xFFFFFFFE);
    image.U16(26, 1);
    image.U16(28, 32);
    image.U32(34, 24);
    EXPECT_EQ(image.FirstDifference(&bitmap), -1) << "bitmap header";
  }
  {
    const GeometryBlockHeader geometry{5, 9, kGeometryTexCoordSets};
    Image image(12);
    image.U32(0, 5);
    image.U32(4, 9);
    image.U32(8, 1);
    EXPECT_EQ(image.FirstDifference(&geometry), -1) << "geometry block header";
    // 5 vertices, 9 indices, one set: 12 + 60 + 60 + 40 + 36 bytes.
    const GeometryBlockLayout layout = GeometryLayout(5, 9, 1);
    EXPECT_EQ(layout.normals, 72u);
    EXPECT_EQ(layout.texCoords, 132u);
    EXPECT_EQ(layout.indices, 172u);
    EXPECT_EQ(layout.totalBytes, 208u);
    // Counts a peer could write do not wrap the sizes.
    EXPECT_GT(GeometryLayout(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu).totalBytes, 0xFFFFFFFFull);
  }
}

TEST(LivelinkLayoutTest, ReaderFindsWhatTheCreatorWroteAtTheProtocolOffsets) {
  livelink_test::Isolated();
  const std::u16string name = livelink_test::UniqueName("layout");
  LiveConnection creator;
  ASSERT_EQ(creator.Create(name, 16), 0);
  Record* surface = creator.CreateRecord(kTypeSurface);
  ASSERT_NE(surface, nullptr);
  // The writer addresses the tail by raw offset, as a renderer author would.
  auto* raw = reinterpret_cast<std::uint8_t*>(surface);
  const std::uint32_t blockId = 0x1234, capacity = 0x5678;
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
  bool found = false;
  for (const RecordInfo& info : snapshot.records) {
    if (info.type != kTypeSurface) continue;
    found = true;
    EXPECT_EQ(info.blockId, blockId);
    EXPECT_EQ(info.blockCapacity, capacity);
  }
  EXPECT_TRUE(found);
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
