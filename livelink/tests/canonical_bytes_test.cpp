// The canonical form as bytes: what one renderer writes, another reads back
// to the same form, whatever the platform; and a file that is cut short,
// padded or lying about its counts is refused, not read past.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "livelink/canonical_bytes.h"

using namespace CorvantaAPI;

namespace {

CanonicalScene TwoSurfaces() {
  CanonicalScene scene;
  CanonicalSurface glass;
  glass.material.name = u"Glas \u00e4\u20ac \U0001F3E0";  // a surrogate pair among them
  glass.material.surfaceType = -3;
  glass.material.colour = 0x80A0B0C0;
  glass.material.floats = {0.0f, -0.0f, 1.5f, std::numeric_limits<float>::quiet_NaN(), 0.25f, 1e-40f, 7, 8};
  glass.material.textured = true;
  glass.material.texturePath = u"C:\\Textures\\glass.png";
  glass.material.textureDigest = 0x0123456789ABCDEFull;
  CanonicalTriangle t{};
  for (int c = 0; c < 3; ++c) t[c].position = {static_cast<float>(c), -0.0f, 2.5f};
  t[1].texCoord = {0.5f, 1.0f};
  glass.triangles = {t, t};
  glass.triangles[1][2].normal = {0, 0, 1};
  CanonicalSurface plain;
  plain.material.name = u"Alpha";  // sorts first
  scene.surfaces = {plain, glass};
  Canonicalize(scene);
  return scene;
}

std::string Bits(const CanonicalScene& scene) { return EncodeCanonicalScene(scene); }

}  // namespace

TEST(CanonicalBytesTest, ReadsBackToTheSameFormBitForBit) {
  const CanonicalScene scene = TwoSurfaces();
  const std::string bytes = Bits(scene);
  CanonicalScene back;
  std::string error;
  ASSERT_TRUE(DecodeCanonicalScene(bytes, &back, &error)) << error;
  EXPECT_TRUE(back == scene);  // NaN and -0 compared as bits, as the form does
  EXPECT_EQ(Bits(back), bytes);
  EXPECT_EQ(back.surfaces[1].material.name, scene.surfaces[1].material.name);

  // Everything compared is in the bytes: one bit of a corner, of a float
  // field or of the digest changes them.
  CanonicalScene moved = scene;
  moved.surfaces[1].triangles[0][0].position[2] = std::nextafter(2.5f, 3.0f);
  EXPECT_NE(Bits(moved), bytes);
  CanonicalScene signedZero = scene;
  signedZero.surfaces[1].material.floats[0] = -0.0f;
  EXPECT_NE(Bits(signedZero), bytes);
  CanonicalScene digest = scene;
  digest.surfaces[1].material.textureDigest ^= 1;
  EXPECT_NE(Bits(digest), bytes);
}

TEST(CanonicalBytesTest, TheLayoutIsLittleEndianAndFixed) {
  CanonicalScene scene;
  CanonicalSurface s;
  s.material.name = u"A";
  s.material.colour = 0x11223344;
  s.triangles.resize(1);
  s.triangles[0][0].position[0] = 1.0f;
  scene.surfaces = {s};
  const std::string bytes = Bits(scene);
  // Header, name, type, colour, floats, textured, path, digest, count, one triangle.
  ASSERT_EQ(bytes.size(), 12u + (4 + 2) + 4 + 4 + 32 + 1 + 4 + 8 + 4 + 96);
  EXPECT_EQ(bytes.substr(0, 12), std::string("CVCS\1\0\0\0\1\0\0\0", 12));
  EXPECT_EQ(bytes.substr(12, 6), std::string("\1\0\0\0A\0", 6));
  EXPECT_EQ(bytes.substr(22, 4), "\x44\x33\x22\x11");
  // 1.0f is 0x3F800000: its bytes in the first corner, low byte first.
  EXPECT_EQ(bytes.substr(12 + 6 + 4 + 4 + 32 + 1 + 4 + 8 + 4, 4), std::string("\0\0\x80\x3F", 4));
}

TEST(CanonicalBytesTest, DamagedFilesAreRefusedWithoutReadingPast) {
  const std::string bytes = Bits(TwoSurfaces());
  CanonicalScene scene;
  std::string error;
  for (std::size_t n = 0; n < bytes.size(); ++n)
    EXPECT_FALSE(DecodeCanonicalScene(bytes.substr(0, n), &scene, &error)) << "cut to " << n;
  EXPECT_FALSE(DecodeCanonicalScene(bytes + '\0', &scene, &error));
  EXPECT_NE(error.find("after the last surface"), std::string::npos) << error;

  std::string otherVersion = bytes;
  otherVersion[4] = 2;
  EXPECT_FALSE(DecodeCanonicalScene(otherVersion, &scene, &error));

  // Counts that promise more than the file holds are refused before any
  // room is made for them.
  std::string manySurfaces = bytes;
  manySurfaces.replace(8, 4, "\xFF\xFF\xFF\x7F", 4);
  EXPECT_FALSE(DecodeCanonicalScene(manySurfaces, &scene, &error));
  std::string longName = bytes;
  longName.replace(12, 4, "\xFF\xFF\xFF\xFF", 4);
  EXPECT_FALSE(DecodeCanonicalScene(longName, &scene, &error));
  std::string notABoolean = Bits(TwoSurfaces());
  const std::size_t plainTextured = 12 + 4 + 10 + 4 + 4 + 32;  // "Alpha" is the first surface
  ASSERT_EQ(notABoolean[plainTextured], '\0');
  notABoolean[plainTextured] = 2;
  EXPECT_FALSE(DecodeCanonicalScene(notABoolean, &scene, &error));
}
