// The host's image writer: pixel maps written as PNG and JPEG files that a
// real decoder reads back.
#include <cstring>

#include "hostmodel/image.h"
#include "hostsdk/image.h"
#include "runtime_fixture.h"

namespace {

using hostrt_test::TempDir;

TEST(RuntimeImage, PixelMapsRefuseImpossibleSizes) {
  EXPECT_EQ(GXCreateGSPixMap(0, 5, GX_ARGB32), nullptr);
  EXPECT_EQ(GXCreateGSPixMap(5, -1, GX_ARGB32), nullptr);
  EXPECT_EQ(GXCreateGSPixMap(40000, 2, GX_ARGB32), nullptr);
  EXPECT_EQ(GXCreateGSPixMap(4, 4, 0x20), nullptr) << "only A,R,G,B maps";
  EXPECT_EQ(GXGetGSPixMapBaseAddr(nullptr), nullptr);
  GXDeleteGSPixMap(nullptr);
  EXPECT_EQ(FTM::FileTypeManager::SearchForMime("image/tiff"), FTM::UnknownType);
  EXPECT_EQ(FTM::FileTypeManager::SearchForMime(nullptr), FTM::UnknownType);
}

// One map written as PNG (every pixel and its alpha kept) and as JPEG
// (opaque, close to the colours); a destination that cannot be written is
// an error and leaves no file.
TEST(RuntimeImage, PngKeepsEveryPixelAndJpegIsOpaqueAndClose) {
  TempDir dir;
  GSPixMapHandle map = GXCreateGSPixMap(16, 16, GX_ARGB32);
  ASSERT_NE(map, nullptr);
  auto* p = static_cast<std::uint8_t*>(GXGetGSPixMapBaseAddr(map));
  // Each pixel its own alpha, so that the PNG's pixel order shows.
  const std::uint8_t argb[] = {0, 200, 100, 50};
  for (int i = 0; i < 16 * 16 * 4; ++i) p[i] = i % 4 ? argb[i % 4] : std::uint8_t(i / 4);
  const std::vector<std::uint8_t> written(p, p + 16 * 16 * 4);
  auto write = [&](const std::string& path, const char* mime, int bits) {
    GX::ImageSaveOptions options;
    options.SetPixelBits(bits);
    options.SetQuality(90000);
    return GX::Image(map).WriteToFile(IO::Location(path), FTM::FileTypeManager::SearchForMime(mime), options);
  };
  ASSERT_EQ(write(dir.File("tile.png"), "image/png", 32), NoError);
  auto png = hostmodel::DecodeImageFile(dir.File("tile.png"));
  ASSERT_TRUE(png.ok()) << png.error();
  EXPECT_EQ(png.value().width, 16);
  EXPECT_EQ(png.value().pixels, written);

  ASSERT_EQ(write(dir.File("tile.jpg"), "image/jpeg", 24), NoError);
  auto jpeg = hostmodel::DecodeImageFile(dir.File("tile.jpg"));
  ASSERT_TRUE(jpeg.ok()) << jpeg.error();
  ASSERT_EQ(jpeg.value().pixels.size(), written.size());
  for (std::size_t i = 0; i < written.size(); i += 4) {
    ASSERT_EQ(jpeg.value().pixels[i], 255) << "alpha is dropped in a JPEG";
    for (std::size_t c = 1; c < 4; ++c) ASSERT_NEAR(jpeg.value().pixels[i + c], written[i + c], 4) << i;
  }
  const std::string nowhere = dir.File("missing/tile.jpg");
  EXPECT_EQ(write(nowhere, "image/jpeg", 24), APIERR_IOERROR);
  EXPECT_FALSE(std::filesystem::exists(nowhere));
  EXPECT_EQ(write(dir.File("x.tif"), "image/tiff", 24), APIERR_BADPARS);
  GX::ImageSaveOptions options;
  EXPECT_EQ(GX::Image(nullptr).WriteToFile(IO::Location(dir.File("y.png")), FTM::PngType, options), APIERR_BADPARS);
  GXDeleteGSPixMap(map);
}

}  // namespace
