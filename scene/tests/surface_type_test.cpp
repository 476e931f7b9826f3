// Surface types from material names: the glass and water words of the
// host's languages, the word rule for "eau", opacity and the host's glass
// type, and the names the export writes.
#include <gtest/gtest.h>

#include "scene_test_entry.h"

#include <string>
#include <vector>

#include "base/utf.h"
#include "scene/surface_type.h"
#include "util/text.h"

using namespace scene;


TEST(SurfaceType, FromNamesOpacityAndTheHostsType) {
  struct Case {
    std::vector<const char16_t*> names;
    float opacity;
    std::int32_t hostType, expected;
  };
  const Case cases[] = {
      {{u"Vidrio templado", u"GLASS", u"Verre dépoli", u"Vetro", u"СТЕКЛО", u"双层玻璃", u"Vidro", u"ガラス窓", u"유리",
        u"Garasu", u"Glasfassade", u"SZKŁO", u"Glass"},
       0.99f, 0, kSurfaceGlass},
      // Glass needs transparency unless the host says glass (type 5), which
      // wins over a water name too.
      {{u"Glass", u"Brick"}, 1.0f, 0, kSurfaceNone},
      {{u"Brick", u"Water"}, 1.0f, 5, kSurfaceGlass},
      {{u"Water", u"Agua", u"Salzwasser", u"Acqua", u"Vatten", u"ВОДА", u"水面", u"Água", u"물", u"Mizu", u"Woda",
        u"Eau de mer", u"EAU", u"Bassin eau", u"Underwater"},
       1.0f, 0, kSurfaceWater},
      // "eau" inside a longer word is no water; sanitising makes "l'eau" one
      // five-character word (the underscore is a word character).
      {{u"Plateau", u"l'eau", u"eau_2", u"Lac (eau)", u"Beaux", u"Bureau 2"}, 1.0f, 0, kSurfaceNone},
      // Water comes before glass.
      {{u"Plateau eau", u"Water glass"}, 0.5f, 0, kSurfaceWater},
  };
  for (const Case& c : cases)
    for (const char16_t* name : c.names)
      EXPECT_EQ(ClassifySurface(util::SanitizeName(name), c.opacity, c.hostType), c.expected) << base::ToUtf8(name);
}

TEST(SurfaceType, NamesForTheExport) {
  EXPECT_STREQ(SurfaceTypeName(1, "x"), "water");
  EXPECT_STREQ(SurfaceTypeName(2, "x"), "glass");
  EXPECT_STREQ(SurfaceTypeName(9, "x"), "waterfall");
  EXPECT_STREQ(SurfaceTypeName(0, "fallback"), "fallback");
  EXPECT_STREQ(SurfaceTypeName(10, "fallback"), "fallback");
  EXPECT_STREQ(SurfaceTypeName(-1, "fallback"), "fallback");
}
