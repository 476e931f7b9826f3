// The resource compiler and the compiled image the host reads: what a
// source may say, read back whole, and the menu item texts with their icons.
#include <gtest/gtest.h>

#include <tuple>

#include "resc/compiler.h"
#include "resc/png_image.h"
#include "resc/resources.h"

namespace {

const char* kSource = R"({
  "identity": {"id": 32500, "developer": 4000000000, "local": 7},
  "strings": {"32500": ["Name", "Beschreibung \u00e4"]},
  "menus": {"32101": {"title": "T\u00ae", "items": ["Go^E3^ES^EE^EI^ED^EL^EW^ET^32101"]}},
  "prompts": {"32121": {"title": "T", "text": "Go on."}},
  "alerts": {"32201": {"icon": 5, "title": "A", "message": "Need %s", "buttons": ["Yes", "No"]}},
  "dialogs": {"32204": {"type": "modal", "size": [100, 50], "title": "D", "items": [
    {"kind": "button", "rect": [1, 2, 30, 10], "text": "OK"},
    {"kind": "realedit", "rect": [1, 20, 30, 10], "range": [-50, 100]},
    {"kind": "picture", "rect": [40, 2, 50, 40], "icon": 5}]}},
  "help": {"32204": [{"item": 2, "anchor": "Value", "tooltip": "The value"}]},
  "icons": {"5": {"draw": {"shape": "circle", "color": "#ff0000", "glyph": "play", "size": 24}}}
})";

TEST(UiResources, CompiledImageReadsBackEverything) {
  auto c = resc::Compile(kSource, "test.json");
  ASSERT_TRUE(c.ok) << c.error;
  auto p = resc::Parse(c.image);
  ASSERT_TRUE(p.ok) << p.error;
  const auto& s = p.set;
  ASSERT_TRUE(s.identity);
  EXPECT_EQ(s.identity->developerId, 4000000000u);
  EXPECT_EQ(s.strings.at(32500).at(1), u"Beschreibung \u00e4");
  // Menus, prompts, alerts and help texts as the host shows them are the
  // sessions'; here the values at the edges of their types.
  EXPECT_EQ(s.dialogs.at(32204).items.at(1).min, -50);
  // The drawn icon is a real PNG of the asked size with the asked colour.
  resc::Image img;
  std::string why;
  ASSERT_TRUE(resc::DecodePng(s.icons.at(5).png, &img, &why)) << why;
  EXPECT_EQ(img.width, 24);
  const auto* edge = &img.rgba[(12 * 24 + 2) * 4];  // inside the circle, outside the glyph
  EXPECT_EQ(edge[0], 255);
  EXPECT_EQ(edge[1], 0);
  EXPECT_EQ(edge[3], 255);
  // Serialising again gives the same image: the host and the compiler agree.
  EXPECT_EQ(resc::Serialise(s), c.image);
}

// A menu item's text and its icon number; a suffix without a number, with
// one too large or not a number names no icon.
TEST(UiResources, MenuItemTextsAndIcons) {
  const std::tuple<std::u16string, std::u16string, int> cases[] = {
      {u"Start^E3^ES^EE^EI^ED^EL^EW^ET^32101", u"Start", 32101},
      {u"Plain", u"Plain", 0},
      {u"X^E3^ET^", u"X", 0},
      {u"X^ET^99999999999", u"X", 0},
      {u"X^ET^3a", u"X", 0}};
  for (const auto& [item, text, icon] : cases) {
    const auto split = resc::SplitMenuItem(item);
    EXPECT_EQ(split.text, text);
    EXPECT_EQ(split.icon, icon);
  }
}

}  // namespace
