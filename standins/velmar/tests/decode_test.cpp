// The checked decoders of what a peer writes: geometry blocks, memory
// bitmaps, and text from shared memory made safe for a terminal. Each lie a
// damaged or hostile block can tell is refused with the field that tells it,
// without reading past the bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bitmap.h"
#include "geometry_block.h"
#include "livelink/layout.h"
#include "terminal_text.h"

using namespace velmar;
using CorvantaAPI::GeometryBlockHeader;
using CorvantaAPI::GeometryLayout;

namespace {

// A block holding one triangle (three vertices), followed by slack as the
// publisher's doubled capacity leaves it.
std::vector<std::uint8_t> TriangleBlock(std::uint32_t v, std::uint32_t i, std::uint32_t k, std::size_t slack = 0) {
  const auto layout = GeometryLayout(3, 3, 1);
  std::vector<std::uint8_t> block(layout.totalBytes + slack, 0xEE);
  const GeometryBlockHeader header{v, i, k};
  std::memcpy(block.data(), &header, sizeof header);
  const float positions[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  const float normals[9] = {0, 0, -1, 0, 0, -1, 0, 0, -1};
  const float uv[6] = {0, 1, 1, 1, 0, 0};
  const std::uint32_t indices[3] = {0, 1, 2};
  std::memcpy(block.data() + layout.positions, positions, sizeof positions);
  std::memcpy(block.data() + layout.normals, normals, sizeof normals);
  std::memcpy(block.data() + layout.texCoords, uv, sizeof uv);
  std::memcpy(block.data() + layout.indices, indices, sizeof indices);
  return block;
}

std::vector<std::uint8_t> Bitmap(int w, int h, std::uint32_t fileSize = 0) {
  std::vector<std::uint8_t> bytes(54 + 4 * static_cast<std::size_t>(w) * static_cast<std::size_t>(h > 0 ? h : -h));
  CorvantaAPI::BitmapHeader header{};
  header.magic[0] = 'B';
  header.magic[1] = 'M';
  header.fileSize = fileSize != 0 ? fileSize : static_cast<std::uint32_t>(bytes.size());
  header.pixelOffset = 54;
  header.infoSize = 40;
  header.width = w;
  header.height = h;
  header.planes = 1;
  header.bitsPerPixel = 32;
  std::memcpy(bytes.data(), &header, sizeof header);
  for (std::size_t p = 54; p < bytes.size(); ++p) bytes[p] = static_cast<std::uint8_t>(p);
  return bytes;
}

// What a block holds arrives whole; the slack behind the arrays is not read.
TEST(GeometryBlock, ReadsTheArraysAndIgnoresTheSlackBehindThem) {
  const auto block = TriangleBlock(3, 3, 1, 100);
  Geometry g;
  std::string field, error;
  ASSERT_TRUE(ParseGeometryBlock(block.data(), block.size(), &g, &field, &error)) << error;
  EXPECT_EQ(g.positions, (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0}));
  EXPECT_EQ(g.normals, (std::vector<float>{0, 0, -1, 0, 0, -1, 0, 0, -1}));
  EXPECT_EQ(g.texCoords, (std::vector<float>{0, 1, 1, 1, 0, 0}));
  EXPECT_EQ(g.indices, (std::vector<std::uint32_t>{0, 1, 2}));
}

TEST(GeometryBlock, CountsThatLieAreRefusedWithTheirField) {
  struct Case {
    std::uint32_t v, i, k;
    std::size_t bytes;  // readable bytes, 0 = the whole block
    const char* field;
  } cases[] = {
      {3, 4, 1, 0, "indexCount"},             // not whole triangles
      {3, 3, 0, 0, "texCoordSets"},           // no coordinates
      {4, 3, 1, 0, "vertexCount"},            // one vertex more than the block holds
      {3, 6, 1, 0, "indexCount"},             // indices past the end
      {0xFFFFFFFFu, 3, 1, 0, "vertexCount"},  // would wrap in 32 bits
      {3, 0xFFFFFFFFu / 3 * 3, 0xFFFFFFFFu, 0, "vertexCount"},
      {3, 3, 1, 11, "geometryBlockCapacity"},  // not even the counts fit
      {3, 3, 1, 110, "indexCount"},            // the record claims less than the indices need
  };
  for (const Case& c : cases) {
    const auto block = TriangleBlock(c.v, c.i, c.k);
    Geometry g;
    g.indices = {7};
    std::string field, error;
    EXPECT_FALSE(ParseGeometryBlock(block.data(), c.bytes != 0 ? c.bytes : block.size(), &g, &field, &error))
        << c.v << " " << c.i << " " << c.k;
    EXPECT_EQ(field, c.field) << error;
    EXPECT_EQ(g.indices, std::vector<std::uint32_t>{7}) << "a refused block leaves the geometry as it was";
  }
}

TEST(GeometryBlock, AnIndexPastTheVerticesOrAnInfinitePointIsRefused) {
  auto block = TriangleBlock(3, 3, 1);
  const auto layout = GeometryLayout(3, 3, 1);
  const std::uint32_t past = 3;
  std::memcpy(block.data() + layout.indices + 4, &past, 4);
  Geometry g;
  std::string field, error;
  EXPECT_FALSE(ParseGeometryBlock(block.data(), block.size(), &g, &field, &error));
  EXPECT_EQ(field, "indices");
  EXPECT_NE(error.find("triangle 0"), std::string::npos) << error;

  block = TriangleBlock(3, 3, 1);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::memcpy(block.data() + layout.positions + 16, &nan, 4);
  EXPECT_FALSE(ParseGeometryBlock(block.data(), block.size(), &g, &field, &error));
  EXPECT_EQ(field, "positions");
  // The arrays are checked side by side, but with both broken the index is
  // the one named, as a read in order meets it first.
  std::memcpy(block.data() + layout.indices + 4, &past, 4);
  EXPECT_FALSE(ParseGeometryBlock(block.data(), block.size(), &g, &field, &error));
  EXPECT_EQ(field, "indices");

  // A broken normal or texture coordinate is only repaired: the triangle
  // still has its place.
  block = TriangleBlock(3, 3, 1);
  std::memcpy(block.data() + layout.normals, &nan, 4);
  const float infinite = std::numeric_limits<float>::infinity();
  std::memcpy(block.data() + layout.texCoords + 20, &infinite, 4);
  std::size_t repaired = 0;
  ASSERT_TRUE(ParseGeometryBlock(block.data(), block.size(), &g, &field, &error, &repaired));
  EXPECT_EQ(repaired, 2u);
  EXPECT_EQ(g.normals[0], 0);
  EXPECT_EQ(g.texCoords[5], 0);
}

// Rows as stored, top down (negative height) or bottom up, give one picture,
// each pixel's blue, green, red, alpha turned into red, green, blue, alpha.
TEST(Bitmap, TopDownAndBottomUpRowsGiveTheSamePicture) {
  auto topDown = Bitmap(3, -2), bottomUp = Bitmap(3, 2);
  std::memcpy(bottomUp.data() + 54, topDown.data() + 54 + 12, 12);
  std::memcpy(bottomUp.data() + 66, topDown.data() + 54, 12);
  std::vector<std::uint8_t> expected;
  for (std::size_t p = 54; p < topDown.size(); p += 4)
    expected.insert(expected.end(), {topDown[p + 2], topDown[p + 1], topDown[p], topDown[p + 3]});
  for (const auto* bytes : {&topDown, &bottomUp}) {
    Image image;
    std::string field, error;
    ASSERT_TRUE(DecodeBitmap(bytes->data(), bytes->size(), &image, &field, &error)) << error;
    EXPECT_EQ(image.width * 10 + image.height, 32);
    EXPECT_EQ(image.rgba, expected);
  }
}

TEST(Bitmap, HeadersThatLieAreRefusedWithTheirField) {
  Image image;
  std::string field, error;
  auto shortBlock = Bitmap(4, -4, 54 + 64 + 4);  // says a few bytes more than the block holds
  EXPECT_FALSE(DecodeBitmap(shortBlock.data(), shortBlock.size(), &image, &field, &error));
  EXPECT_EQ(field, "fileSize");

  auto bitmap = Bitmap(4, -4);
  EXPECT_FALSE(DecodeBitmap(bitmap.data(), 40, &image, &field, &error));
  EXPECT_EQ(field, "fileSize");

  struct Patch {
    std::size_t offset;
    std::int32_t value;
    const char* field;
  } patches[] = {{0, 0x4141, "magic"},    {18, 0, "width"},        {18, -4, "width"},      {18, 5, "pixelOffset"},
                 {22, 1 << 30, "height"}, {28, 8, "bitsPerPixel"}, {30, 1, "compression"}, {10, 1 << 30, "pixelOffset"},
                 {14, 12, "infoSize"}};
  for (const Patch& p : patches) {
    auto damaged = Bitmap(4, -4);
    if (p.offset == 28) damaged[28] = static_cast<std::uint8_t>(p.value);
    else if (p.offset == 0) std::memcpy(damaged.data(), &p.value, 2);
    else std::memcpy(damaged.data() + p.offset, &p.value, 4);
    EXPECT_FALSE(DecodeBitmap(damaged.data(), damaged.size(), &image, &field, &error)) << p.field;
    EXPECT_EQ(field, p.field) << error;
  }
}

TEST(TerminalText, ControlCharactersAndBrokenUtf8NeverReachTheTerminalRaw) {
  // An escape sequence that would clear the screen, a bell, a carriage
  // return that would overwrite the line, DEL.
  EXPECT_EQ(Printable("a\x1b[2Jb\x07"
                      "c\rd\x7f"),
            "a\\x1b[2Jb\\x07c\\x0dd\\x7f");
  // A newline only survives where the caller keeps lines of its own.
  EXPECT_EQ(Printable("one\ntwo"), "one\\x0atwo");
  EXPECT_EQ(Printable("one\ntwo\t", true), "one\ntwo\\x09");
  // C1 controls as UTF-8 (CSI is U+009B) are escaped; letters beyond them,
  // accents, CJK and emoji stay as they are.
  EXPECT_EQ(Printable("\xC2\x9B"
                      "31m"),
            "\\u009b31m");
  EXPECT_EQ(Printable("\xC2\xA0\xC3\xA9\xE5\xAE\xB6\xF0\x9F\x8F\xA0"), "\xC2\xA0\xC3\xA9\xE5\xAE\xB6\xF0\x9F\x8F\xA0");
  // Bytes that are not UTF-8 (a lone continuation, a cut sequence, an
  // overlong ESC, an encoded surrogate) become U+FFFD, one per byte, and
  // never let a hidden control through.
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(Printable("\x80"), replacement);
  EXPECT_EQ(Printable("x\xE5\xAE"), "x" + replacement + replacement);
  EXPECT_EQ(Printable("\xC0\x9B"), replacement + replacement);
  EXPECT_EQ(Printable("\xED\xA0\x80"), replacement + replacement + replacement);
  // Every byte value alone: the result holds no control byte at all.
  for (int c = 0; c < 256; ++c) {
    const std::string shown = Printable(std::string(1, static_cast<char>(c)) + "\xC2");
    for (unsigned char b : shown) ASSERT_TRUE(b >= 0x20 && b != 0x7F) << c;
  }
}

}  // namespace
