// Case mapping as the renderer search, the registry and the material names
// need it: the same result whatever the process locale, the BMP kept.
#include <gtest/gtest.h>

#include <clocale>

#include "base/case_map.h"

TEST(BaseCaseMapTest, MapsBeyondAsciiAndLeavesWhatHasNoSingleUnitForm) {
  EXPECT_EQ(base::UpperCase(u"/opt/velmar-7/bin/Velmar"), u"/OPT/VELMAR-7/BIN/VELMAR");
  EXPECT_EQ(base::UpperCase(u"\u00e4\u00f6\u00fc \u0441\u0442\u0435\u043a\u043b\u043e"),
            u"\u00c4\u00d6\u00dc \u0421\u0422\u0415\u041a\u041b\u041e");
  EXPECT_EQ(base::LowerCase(u"GLAS \u00c4"), u"glas \u00e4");
  EXPECT_EQ(base::UpperUnit(u'\u00df'), u'\u00df');  // "SS" is no single unit
  // Surrogate halves map to themselves, so a pair survives whole.
  const std::u16string emoji = u"\U0001F600";
  EXPECT_EQ(base::UpperCase(emoji), emoji);
  EXPECT_EQ(base::LowerCase(emoji), emoji);

  EXPECT_TRUE(base::IsAlnumUnit(u'\u00e9'));
  EXPECT_TRUE(base::IsAlnumUnit(u'\u6c34'));  // a CJK ideograph is a letter
  EXPECT_FALSE(base::IsAlnumUnit(u'_'));
  EXPECT_FALSE(base::IsAlnumUnit(u'\xD83D'));
  EXPECT_TRUE(base::IsSpaceUnit(u'\t'));
  EXPECT_TRUE(base::IsSpaceUnit(u'\u3000'));  // ideographic space
  EXPECT_FALSE(base::IsSpaceUnit(u'x'));
}

TEST(BaseCaseMapTest, TheProcessLocaleDoesNotChangeTheMapping) {
  // The host may run under any locale; the C locale knows no case beyond ASCII.
  const char* before = std::setlocale(LC_ALL, nullptr);
  const std::string saved = before != nullptr ? before : "C";
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(base::UpperUnit(u'\u00e4'), u'\u00c4');
  EXPECT_TRUE(base::IsAlnumUnit(u'\u00e4'));
  std::setlocale(LC_ALL, saved.c_str());
}
