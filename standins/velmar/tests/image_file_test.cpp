// velmar's reading of image files, which a link's texture path names: the
// path comes from shared memory any process of the user may write, so what
// is not a regular file is refused at once, and PNG and JPEG files read
// through the one opening that was checked.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "hostmodel/image.h"
#include "image.h"
#include "test_temp_dir.h"

namespace {

// Red throughout; green in the left half only (halves of 8 columns, so
// that JPEG's blocks keep them apart). Pixels are A, R, G, B.
hostmodel::Texture Halves() {
  hostmodel::Texture t;
  t.width = 16;
  t.height = 2;
  for (int y = 0; y < t.height; ++y)
    for (int x = 0; x < t.width; ++x)
      t.pixels.insert(t.pixels.end(), {255, 255, static_cast<std::uint8_t>(x < 8 ? 255 : 0), 0});
  return t;
}

std::string Write(const testsupport::TempDir& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
  return dir.Write(name, std::string(bytes.begin(), bytes.end()));
}

}  // namespace

TEST(ImageFile, WhatIsNotARegularFileIsRefusedWithoutWaiting) {
  testsupport::TempDir dir("velmar-image");
  const std::string fifo = dir / "pipe.png";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero"), dir.path().string()}) {
    velmar::Image image;
    std::string error;
    EXPECT_FALSE(velmar::ReadImageFile(path, &image, &error)) << path;
    EXPECT_EQ(error, "not a regular file: " + path);
    EXPECT_TRUE(image.empty());
  }
  velmar::Image image;
  std::string error;
  EXPECT_FALSE(velmar::ReadImageFile(dir / "missing.png", &image, &error));
  EXPECT_EQ(error, "no such file " + (dir / "missing.png"));
}

TEST(ImageFile, PngAndJpegReadTheirPixelsWhateverTheName) {
  testsupport::TempDir dir("velmar-image");
  const hostmodel::Texture t = Halves();
  // Named the other way round: the first bytes decide the kind.
  const std::string png = Write(dir, "halves.jpg", hostmodel::EncodePng(t).value());
  const std::string jpg = Write(dir, "halves.png", hostmodel::EncodeJpeg(t, 100).value());
  for (const std::string& path : {png, jpg}) {
    velmar::Image image;
    std::string error;
    ASSERT_TRUE(velmar::ReadImageFile(path, &image, &error)) << error;
    ASSERT_EQ(image.width, 16);
    ASSERT_EQ(image.height, 2);
    // Within JPEG's loss: red on both sides, green on the left only.
    EXPECT_NEAR(image.At(0, 0)[0], 255, 16) << path;
    EXPECT_NEAR(image.At(15, 1)[0], 255, 16) << path;
    EXPECT_NEAR(image.At(0, 1)[1], 255, 16) << path;
    EXPECT_NEAR(image.At(15, 0)[1], 0, 16) << path;
  }
  velmar::Image image;
  std::string error;
  EXPECT_FALSE(velmar::ReadImageFile(dir.Write("short.png", "ab"), &image, &error));
  EXPECT_FALSE(velmar::ReadImageFile(dir.Write("text.png", "not an image"), &image, &error));
  EXPECT_NE(error.find("neither PNG nor JPEG"), std::string::npos);
}
