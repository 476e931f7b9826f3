// Conversion, search, sanitising and the encoders on the texts the add-on
// meets: material names, project paths, status values, web-link parameters.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "util/text.h"

using namespace util;

namespace {

// The conversions are base's (whose test holds the malformed cases); here
// only that util hands the whole input through, both ways.
TEST(TextUtf, ConvertsBothWaysOverTheWholeInput) {
  const std::u16string mixed(u"Büro € 𝄞 стекло\0x", 18);
  EXPECT_EQ(FromUtf8(ToUtf8(mixed)), mixed);
  EXPECT_EQ(ToUtf8(u"\u00C4𝄞"), "\xC3\x84\xF0\x9D\x84\x9E");
  EXPECT_EQ(FromUtf8("\xFF" "a"), u"\uFFFDa");
}

TEST(TextSearch, ContainsNoCaseAcrossScripts) {
  EXPECT_TRUE(ContainsNoCase(u"GLASS PANE", u"glass"));
  EXPECT_TRUE(ContainsNoCase(u"Glass pane", u"PANE"));
  EXPECT_TRUE(ContainsNoCase(u"SZKŁO", u"szkło"));
  EXPECT_TRUE(ContainsNoCase(u"СТЕКЛО окна", u"стекло"));
  EXPECT_TRUE(ContainsNoCase(u"Fenster GLÄSER", u"gläser"));
  EXPECT_FALSE(ContainsNoCase(u"Glas", u"glass"));  // longer needle
  EXPECT_FALSE(ContainsNoCase(u"Metal", u"glass"));
  EXPECT_TRUE(ContainsNoCase(u"", u""));
  EXPECT_TRUE(ContainsNoCase(u"anything", u""));
  EXPECT_FALSE(ContainsNoCase(u"", u"a"));
  // A match that starts after a partial one.
  EXPECT_TRUE(ContainsNoCase(u"gglass", u"GLASS"));
}

TEST(TextSanitize, ReplacesEverythingButLettersDigitsAndSpace) {
  EXPECT_EQ(SanitizeName(u"Wall/Brick #2"), u"Wall_Brick _2");
  EXPECT_EQ(SanitizeName(u""), u"");
  EXPECT_EQ(SanitizeName(u"Szkło\tмат.1"), u"Szkło\tмат_1");
  // Each half of a pair is replaced on its own; the length never changes.
  std::u16string emoji = u"a😀";
  EXPECT_EQ(SanitizeName(emoji), u"a__");
}

TEST(TextEncode, PercentEncodeKeepsOnlyAsciiLettersAndDigits) {
  EXPECT_EQ(PercentEncode(u""), u"");
  EXPECT_EQ(PercentEncode(u"Ä b-1"), u"%c3%84%20b%2d1");
  EXPECT_EQ(PercentEncode(u"~._-"), u"%7e%2e%5f%2d");
  EXPECT_EQ(PercentEncode(u"3.50.904"), u"3%2e50%2e904");
  EXPECT_EQ(PercentEncode(u"Corvanta Live"), u"Corvanta%20Live");
  EXPECT_EQ(PercentEncode(u"€"), u"%e2%82%ac");
  EXPECT_EQ(PercentEncode(std::u16string(1, u'\0')), u"%00");
  EXPECT_EQ(PercentEncode(u"\u007F\u0080\u07FF\u0800\uFFFF"), u"%7f%c2%80%df%bf%e0%a0%80%ef%bf%bf");
  // Each unit of a pair alone: two three-byte sequences.
  EXPECT_EQ(PercentEncode(u"𝄞"), u"%ed%a0%b4%ed%b4%9e");
}

TEST(TextEncode, UriEncodeKeepsPathMarksAndLetters) {
  EXPECT_EQ(UriEncode(u"D:\\Maps\\wall 1.jpg"), u"D:\\Maps\\wall%201.jpg");
  EXPECT_EQ(UriEncode(u"~/a:b\\c"), u"~/a:b\\c");
  EXPECT_EQ(UriEncode(u"100% #1"), u"100%25%20%231");
  EXPECT_EQ(UriEncode(u"!';&=+$,:/\\.-_~[]()@"), u"!';&=+$,:/\\.-_~[]()@");
  EXPECT_EQ(UriEncode(u"Büro"), u"Büro");  // letters of any script stay
  EXPECT_EQ(UriEncode(u"a\"b<c>{}|^`"), u"a%22b%3cc%3e%7b%7d%7c%5e%60");
  EXPECT_EQ(UriEncode(u"€"), u"%e2%82%ac");
}

TEST(TextEncode, UriEncodeFromManyThreadsAtOnce) {
  // The safe set is built on first use; racing first uses must agree.
  std::vector<std::thread> threads;
  std::vector<std::u16string> results(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&results, t] { results[t] = UriEncode(u"/tex/wall 1 (copy).png"); });
  }
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_EQ(r, u"/tex/wall%201%20(copy).png");
}

TEST(TextEncode, XmlEscapeReplacesTheFiveMarkupCharacters) {
  EXPECT_EQ(XmlEscape(u"a<b & \"c\""), u"a&lt;b &amp; &quot;c&quot;");
  EXPECT_EQ(XmlEscape(u"it's > that"), u"it&apos;s &gt; that");
  EXPECT_EQ(XmlEscape(u"&amp;"), u"&amp;amp;");  // escaping twice is visible
  EXPECT_EQ(XmlEscape(u"Büro ok"), u"Büro ok");
  EXPECT_EQ(XmlEscape(u""), u"");
}

}  // namespace
