// What a material's record and the export take from pure rules: surface
// types and their export names, the memory bitmap's header and size bound,
// the names of texture folders and image files.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "base/utf.h"
#include "scene/surface_type.h"
#include "scene/texture_bitmap.h"
#include "scene/texture_paths.h"
#include "scene_test_entry.h"
#include "util/text.h"

using namespace scene;

TEST(SurfaceType, FromNamesOpacityAndTheHostsTypeAndTheirExportNames) {
  struct Case {
    std::vector<const char16_t*> names;
    float opacity;
    std::int32_t hostType, expected;
  };
  const Case cases[] = {
      {{u"Vidrio templado", u"GLASS", u"Verre dépoli", u"Vetro", u"СТЕКЛО", u"双层玻璃", u"Vidro", u"ガラス窓", u"유리",
        u"Garasu", u"Glasfassade", u"SZKŁO", u"Glass"},
       0.99f,
       0,
       kSurfaceGlass},
      // Glass needs transparency unless the host says glass (type 5), which
      // wins over a water name too.
      {{u"Glass", u"Brick"}, 1.0f, 0, kSurfaceNone},
      {{u"Brick", u"Water"}, 1.0f, 5, kSurfaceGlass},
      {{u"Water", u"Agua", u"Salzwasser", u"Acqua", u"Vatten", u"ВОДА", u"水面", u"Água", u"물", u"Mizu", u"Woda",
        u"Eau de mer", u"EAU", u"Bassin eau", u"Underwater"},
       1.0f,
       0,
       kSurfaceWater},
      // "eau" inside a longer word is no water; sanitising makes "l'eau" one
      // five-character word (the underscore is a word character).
      {{u"Plateau", u"l'eau", u"eau_2", u"Lac (eau)", u"Beaux", u"Bureau 2"}, 1.0f, 0, kSurfaceNone},
      // Water comes before glass.
      {{u"Plateau eau", u"Water glass"}, 0.5f, 0, kSurfaceWater},
  };
  for (const Case& c : cases)
    for (const char16_t* name : c.names)
      EXPECT_EQ(ClassifySurface(util::SanitizeName(name), c.opacity, c.hostType), c.expected) << base::ToUtf8(name);
  // Their names for the export.
  const std::pair<int, const char*> names[] = {{1, "water"},    {2, "glass"},     {9, "waterfall"},
                                               {0, "fallback"}, {10, "fallback"}, {-1, "fallback"}};
  for (const auto& [type, name] : names) EXPECT_STREQ(SurfaceTypeName(type, "fallback"), name) << type;
}

TEST(TextureBitmap, HeaderPinnedByteByByteAndSizeBound) {
  // 3 x 2 pixels, A,R,G,B each.
  const std::vector<std::uint8_t> argb = {0x10, 0x21, 0x32, 0x43, 0x80, 0xA1, 0xB2, 0xC3, 0x00, 0x01, 0x02, 0x03,
                                          0xFF, 0xF1, 0xF2, 0xF3, 0x7F, 0x71, 0x72, 0x73, 0x01, 0x11, 0x12, 0x13};
  ASSERT_EQ(MemoryBitmapBytes(6), std::optional<std::uint32_t>(54 + 24));
  std::vector<std::uint8_t> out(54 + 24, 0xEE);
  WriteMemoryBitmap(out.data(), 3, 2, argb.data(), true);
  // Little-endian fields, the rest zero: "BM", the file's size, the pixels'
  // offset, the info size, width, height -2 (rows top-down), one plane, 32
  // bits, no compression, the image's bytes.
  std::vector<std::uint8_t> header(54, 0);
  for (const auto& [at, value, width] : {std::tuple{0, 0x4D42u, 2},
                                         {2, 78u, 4},
                                         {10, 54u, 4},
                                         {14, 40u, 4},
                                         {18, 3u, 4},
                                         {22, 0xFFFFFFFEu, 4},
                                         {26, 1u, 2},
                                         {28, 32u, 2},
                                         {34, 24u, 4}})
    std::memcpy(&header[std::size_t(at)], &value, std::size_t(width));
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 54), header);
  // B, G, R, A (the alpha kept or not: read back by the material test).
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 54, out.begin() + 58),
            (std::vector<std::uint8_t>{0x43, 0x32, 0x21, 0x10}));
  // The size must fit 32 bits: the pixel count of a 32768 x 32768 map wraps it.
  const std::uint64_t largest = (0xFFFFFFFFull - 54) / 4;
  EXPECT_EQ(MemoryBitmapBytes(largest), std::optional<std::uint32_t>(54 + 4 * largest));
  EXPECT_FALSE(MemoryBitmapBytes(largest + 1) || MemoryBitmapBytes(32768ull * 32768ull));
  EXPECT_EQ(MemoryBitmapBytes(0), std::optional<std::uint32_t>(54));
}

TEST(TexturePaths, FoldersBesideTheFileAndImageNames) {
  // The folder is named after the last component without its extension.
  const std::pair<std::u16string, std::u16string> folders[] = {
      {u"/home/u/Projects/House.pln", u"/home/u/Projects/House_Textures"},
      {u"/a/proj.old/House", u"/a/proj.old/House_Textures"},
      {u"/a/b/Model.v2.dae", u"/a/b/Model.v2_Textures"},
      {u"House.dae", u"House_Textures"},
      {u"", u""}};
  for (const auto& [file, folder] : folders) EXPECT_EQ(TextureFolderFor(file).folder, folder) << base::ToUtf8(file);
  EXPECT_EQ(TextureFolderFor(u"/a/proj.old/House").name, u"House_Textures");
  const std::pair<std::u16string, std::u16string> extensions[] = {
      {u"/t/brick.PNG", u"PNG"}, {u"/t.d/brick", u""}, {u"/t/archive.tar.gz", u"gz"}, {u"brick.jpg", u"jpg"}};
  for (const auto& [file, extension] : extensions) EXPECT_EQ(FileExtension(file), extension) << base::ToUtf8(file);
  // Image files: the key in 16 hex digits, and the extension read back.
  const std::tuple<std::uint64_t, std::u16string, std::u16string> images[] = {
      {0xAB, u"png", u"00000000000000ab.png"},
      {0xFFFFFFFFFFFFFFFE, u"jpg", u"fffffffffffffffe.jpg"},
      {1, u"", u"0000000000000001"}};
  for (const auto& [key, extension, name] : images)
    EXPECT_EQ(std::tuple(ImageFileName(key, extension), FileExtension(name)), std::tuple(name, extension));
}
