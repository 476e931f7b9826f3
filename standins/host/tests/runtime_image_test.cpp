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

TEST(RuntimeImage, PngKeepsEveryPixelAndItsAlpha) {
  TempDir dir;
  GSPixMapHandle map = GXCreateGSPixMap(3, 2, GX_ARGB32);
  ASSERT_NE(map, nullptr);
  const std::uint8_t argb[] = {255, 10, 20, 30,  128, 40, 50, 60,  0, 70, 80, 90,
                               255, 1, 2, 3,     64, 250, 251, 252, 255, 0, 0, 0};
  std::memcpy(GXGetGSPixMapBaseAddr(map), argb, sizeof(argb));
  GX::ImageSaveOptions options;
  options.SetPixelBits(32);
  const std::string path = dir.File("tile.png");
  ASSERT_EQ(GX::Image(map).WriteToFile(IO::Location(path), FTM::FileTypeManager::SearchForMime("image/png"), options),
            NoError);
  GXDeleteGSPixMap(map);
  auto decoded = hostmodel::DecodeImageFile(path);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  EXPECT_EQ(decoded.value().width, 3);
  EXPECT_EQ(decoded.value().height, 2);
  EXPECT_EQ(decoded.value().pixels, std::vector<std::uint8_t>(std::begin(argb), std::end(argb)));
}

TEST(RuntimeImage, JpegIsOpaqueAndCloseToTheColours) {
  TempDir dir;
  GSPixMapHandle map = GXCreateGSPixMap(16, 16, GX_ARGB32);
  ASSERT_NE(map, nullptr);
  auto* p = static_cast<std::uint8_t*>(GXGetGSPixMapBaseAddr(map));
  for (int i = 0; i < 16 * 16; ++i) {
    p[i * 4 + 0] = 7;  // alpha is dropped in a JPEG
    p[i * 4 + 1] = 200;
    p[i * 4 + 2] = 100;
    p[i * 4 + 3] = 50;
  }
  GX::ImageSaveOptions options;
  options.SetPixelBits(24);
  options.SetQuality(90000);
  const std::string path = dir.File("tile.jpg");
  ASSERT_EQ(GX::Image(map).WriteToFile(IO::Location(path), FTM::FileTypeManager::SearchForMime("image/jpeg"), options),
            NoError);
  auto decoded = hostmodel::DecodeImageFile(path);
  ASSERT_TRUE(decoded.ok()) << decoded.error();
  ASSERT_EQ(decoded.value().pixels.size(), 16u * 16u * 4u);
  for (std::size_t i = 0; i < decoded.value().pixels.size(); i += 4) {
    ASSERT_EQ(decoded.value().pixels[i], 255);
    ASSERT_NEAR(decoded.value().pixels[i + 1], 200, 4);
    ASSERT_NEAR(decoded.value().pixels[i + 2], 100, 4);
    ASSERT_NEAR(decoded.value().pixels[i + 3], 50, 4);
  }
  // A destination that cannot be written: an error and no file.
  const std::string nowhere = dir.File("missing/tile.jpg");
  EXPECT_EQ(GX::Image(map).WriteToFile(IO::Location(nowhere), FTM::JpegType, options), APIERR_IOERROR);
  EXPECT_FALSE(std::filesystem::exists(nowhere));
  EXPECT_EQ(GX::Image(map).WriteToFile(IO::Location(dir.File("x.tif")), FTM::UnknownType, options), APIERR_BADPARS);
  EXPECT_EQ(GX::Image(nullptr).WriteToFile(IO::Location(dir.File("y.png")), FTM::PngType, options), APIERR_BADPARS);
  GXDeleteGSPixMap(map);
}

}  // namespace
