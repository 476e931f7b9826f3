// The resource compiler and the compiled image the host reads: what a
// source may say, the errors it gets for what it may not, and a damaged
// image never crashing the host.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <random>

#include "resc/compiler.h"
#include "resc/png_image.h"
#include "resc/resources.h"
#include "ui_env.h"

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
  EXPECT_EQ(s.menus.at(32101).title, u"T\u00ae");
  EXPECT_EQ(s.prompts.at(32121).second, u"Go on.");
  EXPECT_EQ(s.alerts.at(32201).buttons.size(), 2u);
  const auto& d = s.dialogs.at(32204);
  ASSERT_EQ(d.items.size(), 3u);
  EXPECT_EQ(d.items[1].kind, resc::ItemKind::RealEdit);
  EXPECT_TRUE(d.items[1].hasRange);
  EXPECT_EQ(d.items[1].min, -50);
  EXPECT_EQ(s.help.at(32204).at(0).tooltip, u"The value");
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

TEST(UiResources, SourceMistakesNameWhereAndWhat) {
  struct Case {
    const char* source;
    const char* expected;
  } cases[] = {
      {R"({"strings": {"0": ["x"]}})", "strings.0: resource id 0 out of range"},
      {R"({"strings": {"40000": ["x"]}})", "out of range 1..32767"},
      {R"({"strings": {"12a": ["x"]}})", "is not a number"},
      {R"({"menus": {"1": {"items": []}}})", "menus.1: a menu needs at least one item"},
      {R"({"alerts": {"1": {"title": "t", "message": "m", "buttons": ["a","b","c","d"]}}})", "more than 3 entries"},
      {R"({"dialogs": {"1": {"type": "modal", "size": [10, 10], "items": [{"kind": "knob", "rect": [0,0,1,1]}]}}})",
       "unknown item kind \"knob\""},
      {R"({"dialogs": {"1": {"type": "modal", "size": [10, 10], "items": [{"kind": "picture", "rect": [0,0,1,1], "icon": 9}]}}})",
       "icon 9 is not defined"},
      {R"({"dialogs": {"1": {"type": "modal", "size": [10, 10], "items": [{"kind": "realedit", "rect": [0,0,1,1], "range": [5, 1]}]}}})",
       "min must not exceed max"},
      {R"({"help": {"3": [{"item": 1}]}})", "help.3: no dialog with this id"},
      {R"({"icons": {"1": {"draw": {"color": "red"}}}})", "colour \"red\" is not #RRGGBB"},
      {R"({"icons": {"1": {"file": "missing.png"}}})", "cannot read"},
      {R"({"colours": {}})", "colours: unknown section"},
      {R"({"strings": )", "not valid JSON"},
  };
  for (const auto& c : cases) {
    auto r = resc::Compile(c.source, "src.json");
    EXPECT_FALSE(r.ok) << c.source;
    EXPECT_NE(r.error.find("src.json"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find(c.expected), std::string::npos) << r.error << " / expected " << c.expected;
  }
}

TEST(UiResources, DamagedImagesAreRefusedWithoutCrashing) {
  auto c = resc::Compile(kSource, "test.json");
  ASSERT_TRUE(c.ok);
  // Truncations and byte changes at many places: each either parses or is
  // refused with a reason; under the sanitizers nothing reads out of bounds.
  std::mt19937 rng(1234);
  int refused = 0;
  for (int i = 0; i < 400; ++i) {
    std::string img = c.image;
    if (i % 2) img.resize(rng() % img.size());
    else
      for (int k = 0; k < 4; ++k) img[rng() % img.size()] = static_cast<char>(rng());
    auto p = resc::Parse(img);
    if (!p.ok) {
      ++refused;
      EXPECT_FALSE(p.error.empty());
    }
  }
  EXPECT_GT(refused, 200);
  // Base64 that decodes to a cut-short PNG.
  std::vector<std::uint8_t> bytes;
  EXPECT_FALSE(resc::Base64Decode("abc", &bytes));
  EXPECT_FALSE(resc::Base64Decode("ab=c", &bytes));
  auto p = resc::Parse(R"({"icons": {"1": {"png": "iVBORw0KGgo="}}})");
  EXPECT_FALSE(p.ok);
  EXPECT_NE(p.error.find("not a PNG"), std::string::npos);
  resc::Image img;
  std::string why;
  auto png = resc::Parse(c.image).set.icons.at(5).png;
  png.resize(png.size() / 2);
  EXPECT_FALSE(resc::DecodePng(png, &img, &why));
  EXPECT_FALSE(why.empty());
}

TEST(UiResources, MenuItemTextsAndIcons) {
  auto a = resc::SplitMenuItem(u"Start^E3^ES^EE^EI^ED^EL^EW^ET^32101");
  EXPECT_EQ(a.text, u"Start");
  EXPECT_EQ(a.icon, 32101);
  auto b = resc::SplitMenuItem(u"Plain");
  EXPECT_EQ(b.text, u"Plain");
  EXPECT_EQ(b.icon, 0);
  // A suffix without a number, or with a number too large, names no icon.
  EXPECT_EQ(resc::SplitMenuItem(u"X^E3^ET^").icon, 0);
  EXPECT_EQ(resc::SplitMenuItem(u"X^ET^99999999999").icon, 0);
  EXPECT_EQ(resc::SplitMenuItem(u"X^ET^3a").icon, 0);
}

TEST(UiResources, CompilerProgramReportsBadSourcesAndWritesEmbeddableCode) {
  const std::string dir = uitest::TempDir();
  std::ofstream(dir + "/bad.json") << R"({"menus": {"1": {"items": []}}})";
  std::string cmd = std::string(CORV_RESC_PATH) + " " + dir + "/bad.json " + dir + "/bad.cpp 2>" + dir + "/bad.err";
  int rc = std::system(cmd.c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 1);
  std::ifstream err(dir + "/bad.err");
  std::string line;
  std::getline(err, line);
  EXPECT_NE(line.find("bad.json: menus.1: a menu needs at least one item"), std::string::npos) << line;

  std::ofstream(dir + "/good.json") << kSource;
  cmd = std::string(CORV_RESC_PATH) + " " + dir + "/good.json " + dir + "/good.cpp --image " + dir + "/good.img";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream code(dir + "/good.cpp");
  std::string all((std::istreambuf_iterator<char>(code)), {});
  EXPECT_NE(all.find("CorvResourceImage[]"), std::string::npos);
  EXPECT_NE(all.find("CorvResourceImageSize"), std::string::npos);
}

}  // namespace
