// Fixed UTF-16 fields: never a unit past the width, and the two ways a text
// that does not fit is handled (refused for header texts, cut for names).
#include <gtest/gtest.h>

#include <array>

#include "base/fixed_text.h"

TEST(BaseFixedTextTest, ReadsStopAtTheNulOrTheWidth) {
  // The guard units after the field must never be read.
  std::array<char16_t, 6> buffer = {u'a', u'b', u'c', u'd', u'X', u'X'};
  EXPECT_EQ(base::ReadFixedText(buffer.data(), 4), u"abcd");
  EXPECT_EQ(base::FixedTextLength(buffer.data(), 4), 4u);
  buffer[1] = 0;
  EXPECT_EQ(base::ReadFixedText(buffer.data(), 4), u"a");
  EXPECT_EQ(base::ReadFixedText(nullptr, 4), u"");
  EXPECT_EQ(base::FixedTextLength(nullptr, 4), 0u);
  EXPECT_EQ(base::ReadFixedText(buffer.data(), 0), u"");
}

TEST(BaseFixedTextTest, WritesZeroFillAndRefuseOrCutWhatDoesNotFit) {
  std::array<char16_t, 6> field;
  field.fill(u'#');
  ASSERT_TRUE(base::WriteFixedText(field.data(), 4, u"abc", base::Overflow::Refuse));
  EXPECT_EQ(field, (std::array<char16_t, 6>{u'a', u'b', u'c', 0, u'#', u'#'}));

  // Four units in a four-unit field leave no room for the NUL.
  EXPECT_FALSE(base::WriteFixedText(field.data(), 4, u"abcd", base::Overflow::Refuse));
  EXPECT_EQ(field, (std::array<char16_t, 6>{0, 0, 0, 0, u'#', u'#'}));

  ASSERT_TRUE(base::WriteFixedText(field.data(), 4, u"abcdef", base::Overflow::Truncate));
  EXPECT_EQ(field, (std::array<char16_t, 6>{u'a', u'b', u'c', u'd', u'#', u'#'}));
  ASSERT_TRUE(base::WriteFixedText(field.data(), 4, u"", base::Overflow::Truncate));
  EXPECT_EQ(field, (std::array<char16_t, 6>{0, 0, 0, 0, u'#', u'#'}));
  EXPECT_FALSE(base::WriteFixedText(nullptr, 4, u"a", base::Overflow::Truncate));

  // Terminated: one NUL always stays, and a cut moves before a lone high
  // surrogate (U+1F600 is D83D DE00), but a whole pair that fits is kept.
  ASSERT_TRUE(base::WriteFixedText(field.data(), 4, u"abcdef", base::Overflow::TruncateTerminated));
  EXPECT_EQ(field, (std::array<char16_t, 6>{u'a', u'b', u'c', 0, u'#', u'#'}));
  ASSERT_TRUE(base::WriteFixedText(field.data(), 4, u"ab\U0001F600", base::Overflow::TruncateTerminated));
  EXPECT_EQ(field, (std::array<char16_t, 6>{u'a', u'b', 0, 0, u'#', u'#'}));
  ASSERT_TRUE(base::WriteFixedText(field.data(), 4, u"a\U0001F600", base::Overflow::TruncateTerminated));
  EXPECT_EQ(field, (std::array<char16_t, 6>{u'a', 0xD83D, 0xDE00, 0, u'#', u'#'}));
  EXPECT_FALSE(base::WriteFixedText(field.data(), 0, u"a", base::Overflow::TruncateTerminated));
}
