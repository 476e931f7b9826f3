#include "hostmodel/image.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "temp_dir.h"

namespace hostmodel {
namespace {

using testing::TempDir;

Texture Gradient(int w, int h, bool alpha) {
  Texture t;
  t.name = "gradient";
  t.width = w;
  t.height = h;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      t.pixels.push_back(alpha ? static_cast<std::uint8_t>((x * 255) / (w - 1)) : 255);
      t.pixels.push_back(static_cast<std::uint8_t>(x * 8));
      t.pixels.push_back(static_cast<std::uint8_t>(y * 8));
      t.pixels.push_back(static_cast<std::uint8_t>(128));
    }
  t.hasAlphaChannel = alpha;
  return t;
}

TEST(HostModelImage, PngKeepsPixelsExactlyAndReportsAlpha) {
  TempDir dir;
  for (bool alpha : {false, true}) {
    Texture t = Gradient(16, 8, alpha);
    ASSERT_TRUE(WritePng(t, dir / "g.png"));
    auto r = DecodeImageFile(dir / "g.png");
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->width, 16);
    EXPECT_EQ(r->height, 8);
    EXPECT_EQ(r->pixels, t.pixels) << "A,R,G,B order and rows top-down";
    EXPECT_EQ(r->hasAlphaChannel, alpha);
    EXPECT_EQ(r->transparentPattern, alpha);
    EXPECT_EQ(r->pixelType, 1);
    EXPECT_EQ(r->filePath, dir / "g.png");
    EXPECT_EQ(r->fingerprint, PixelFingerprint(16, 8, t.pixels));
  }
  // Fingerprints tell images apart by content and size alone.
  Texture a = Gradient(16, 8, false), b = a;
  b.pixels[5] ^= 1;
  EXPECT_NE(PixelFingerprint(16, 8, a.pixels), PixelFingerprint(16, 8, b.pixels));
  EXPECT_NE(PixelFingerprint(16, 8, a.pixels), PixelFingerprint(8, 16, a.pixels));
}

// PNG's chunk checksum (CRC-32, reflected, polynomial 0xEDB88320).
std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc ^ 0xFFFFFFFFu;
}

// A PNG that declares the given size and holds no pixels: decoding must refuse
// absurd sizes before allocating anything.
std::vector<std::uint8_t> PngHeaderOnly(std::uint32_t w, std::uint32_t h) {
  std::vector<std::uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (std::uint32_t v : {w, h})
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
  for (std::uint8_t b : {8, 6, 0, 0, 0}) out.push_back(b);
  std::uint32_t crc = Crc32(out.data() + 12, 17);
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(crc >> s));
  // An empty data chunk: the header is complete, the pixels never come.
  const std::uint8_t idat[] = {0, 0, 0, 0, 'I', 'D', 'A', 'T'};
  out.insert(out.end(), idat, idat + 8);
  crc = Crc32(idat + 4, 4);
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(crc >> s));
  return out;
}

TEST(HostModelImage, BadImagesFailClearlyWithoutCrashing) {
  TempDir dir;
  Texture t = Gradient(16, 8, false);
  auto png = EncodePng(t).value();
  auto jpg = EncodeJpeg(t).value();
  struct Case {
    const char* label;
    std::vector<std::uint8_t> bytes;
    const char* expect;
  };
  std::vector<Case> cases = {
      {"empty", {}, "image file is empty"},
      {"text", {'h', 'e', 'l', 'l', 'o'}, "not a PNG or JPEG image"},
      {"truncated png", std::vector<std::uint8_t>(png.begin(), png.begin() + static_cast<long>(png.size() / 2)),
       "PNG image ("},
      {"png header only", std::vector<std::uint8_t>(png.begin(), png.begin() + 8), "not a readable PNG"},
      {"huge png", PngHeaderOnly(100000, 100000), "too large"},
      {"truncated jpeg", std::vector<std::uint8_t>(jpg.begin(), jpg.begin() + 40), "not a readable JPEG"},
  };
  for (const Case& c : cases) {
    auto r = DecodeImage(c.bytes, "img.bin");
    ASSERT_FALSE(r.ok()) << c.label;
    EXPECT_EQ(r.error().rfind("img.bin: ", 0), 0u) << r.error();
    EXPECT_NE(r.error().find(c.expect), std::string::npos) << c.label << ": " << r.error();
  }
  EXPECT_FALSE(DecodeImageFile(dir / "none.png").ok());
  Texture broken = t;
  broken.pixels.pop_back();
  EXPECT_FALSE(WritePng(broken, dir / "b.png").ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "b.png"));
  EXPECT_FALSE(WritePng(t, dir / "no/such/dir.png").ok());
}

}  // namespace
}  // namespace hostmodel
