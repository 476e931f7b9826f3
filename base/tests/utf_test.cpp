// The project's one UTF converter: the lenient form must replace exactly the
// maximal malformed subparts (as the Windows converter does), and the strict
// form must refuse everything that would not round-trip.
#include <gtest/gtest.h>

#include "base/utf.h"

TEST(Utf, LenientReplacesEachMaximalMalformedSubpartOnce) {
  EXPECT_EQ(base::FromUtf8("\xC3\x84"), u"\u00C4");
  EXPECT_EQ(base::ToUtf8(u"\u00C4"), "\xC3\x84");
  EXPECT_EQ(base::FromUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
  // A truncated three-byte sequence followed by ASCII: one U+FFFD, then "A".
  EXPECT_EQ(base::FromUtf8("\xE2\x82"
                           "A"),
            u"\uFFFDA");
  // Overlong and surrogate encodings break at their second byte.
  EXPECT_EQ(base::FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(base::FromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(base::FromUtf8("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
  // A stray continuation byte, an invalid lead byte, a cut sequence at the end.
  EXPECT_EQ(base::FromUtf8("\x80"), u"\uFFFD");
  EXPECT_EQ(base::FromUtf8("\xFF"
                           "a"),
            u"\uFFFDa");
  EXPECT_EQ(base::FromUtf8("ab\xE2\x82"), u"ab\uFFFD");
  // Lone surrogates have no UTF-8 form; a reversed pair is two of them.
  EXPECT_EQ(base::ToUtf8(std::u16string{u'\xDC00', u'\xD800'}), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(base::ToUtf8(std::u16string(1, u'\xD800') + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(base::ToUtf8(std::u16string(1, u'\xDC00')), "\xEF\xBF\xBD");
  // Embedded NULs are text like any other.
  EXPECT_EQ(base::FromUtf8(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(Utf, StrictRefusesWhatWouldNotRoundTrip) {
  EXPECT_EQ(base::FromUtf8Strict("Gr\xC3\xBC\xC3\x9F"), u"Grüß");
  EXPECT_EQ(base::ToUtf8Strict(u"\U0001F600"), "\xF0\x9F\x98\x80");
  EXPECT_FALSE(base::FromUtf8Strict("\xE2\x82"));
  EXPECT_FALSE(base::FromUtf8Strict("\xC0\xAF"));
  EXPECT_FALSE(base::FromUtf8Strict("\xED\xA0\x80"));
  EXPECT_FALSE(base::FromUtf8Strict("\xFF"));
  EXPECT_FALSE(base::ToUtf8Strict(std::u16string(1, u'\xDBFF')));
  EXPECT_EQ(base::ToUtf8Strict(u""), std::string());
}
