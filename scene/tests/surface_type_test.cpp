// Surface types from material names: the glass and water words of the
// host's languages, the word rule for "eau", opacity and the host's glass
// type, and the names the export writes.
#include <gtest/gtest.h>

#include "scene_test_entry.h"

#include <string>

#include "scene/surface_type.h"
#include "util/text.h"

using namespace scene;

namespace {
std::int32_t TypeOf(const std::u16string& hostName, float opacity = 0.5f, std::int32_t hostType = 0) {
  return ClassifySurface(util::SanitizeName(hostName), opacity, hostType);
}
}  // namespace

TEST(SurfaceType, GlassNamesInSeveralLanguagesAndCases) {
  for (const char16_t* name : {u"Vidrio templado", u"GLASS", u"Verre dépoli", u"Vetro", u"СТЕКЛО", u"双层玻璃",
                               u"Vidro", u"ガラス窓", u"유리", u"Garasu", u"Glasfassade", u"SZKŁO"})
    EXPECT_EQ(TypeOf(name), kSurfaceGlass) << util::ToUtf8(name);
  EXPECT_EQ(TypeOf(u"Brick"), kSurfaceNone);
}

TEST(SurfaceType, GlassNeedsTransparencyUnlessTheHostSaysGlass) {
  EXPECT_EQ(TypeOf(u"Glass", 1.0f), kSurfaceNone);
  EXPECT_EQ(TypeOf(u"Glass", 0.99f), kSurfaceGlass);
  EXPECT_EQ(TypeOf(u"Brick", 1.0f, 5), kSurfaceGlass);
  // Host type 5 wins over a water name too.
  EXPECT_EQ(TypeOf(u"Water", 1.0f, 5), kSurfaceGlass);
}

TEST(SurfaceType, WaterNamesAndTheWordEau) {
  for (const char16_t* name : {u"Water", u"Agua", u"Salzwasser", u"Acqua", u"Vatten", u"ВОДА", u"水面", u"Água",
                               u"물", u"Mizu", u"Woda", u"Eau de mer", u"EAU", u"Bassin eau", u"Underwater"})
    EXPECT_EQ(TypeOf(name, 1.0f), kSurfaceWater) << util::ToUtf8(name);
  // "eau" inside a longer word is no water; sanitising makes "l'eau" one
  // five-character word (the underscore is a word character).
  for (const char16_t* name : {u"Plateau", u"l'eau", u"eau_2", u"Lac (eau)", u"Beaux", u"Bureau 2"})
    EXPECT_EQ(TypeOf(name, 1.0f), kSurfaceNone) << util::ToUtf8(name);
  EXPECT_EQ(TypeOf(u"Plateau eau"), kSurfaceWater);
  // Water comes before glass.
  EXPECT_EQ(TypeOf(u"Water glass"), kSurfaceWater);
}

TEST(SurfaceType, NamesForTheExport) {
  EXPECT_STREQ(SurfaceTypeName(1, "x"), "water");
  EXPECT_STREQ(SurfaceTypeName(2, "x"), "glass");
  EXPECT_STREQ(SurfaceTypeName(9, "x"), "waterfall");
  EXPECT_STREQ(SurfaceTypeName(0, "fallback"), "fallback");
  EXPECT_STREQ(SurfaceTypeName(10, "fallback"), "fallback");
  EXPECT_STREQ(SurfaceTypeName(-1, "fallback"), "fallback");
}
