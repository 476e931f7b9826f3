// Search, sanitising and the encoders on the texts the add-on meets:
// material names, project paths, status values, web-link parameters.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "util/text.h"

using namespace util;

namespace {

using Encoder = std::u16string (*)(const std::u16string&);
const Encoder kSanitize = [](const std::u16string& s) { return SanitizeName(s); };
const Encoder kPercent = [](const std::u16string& s) { return PercentEncode(s); };
const Encoder kUri = [](const std::u16string& s) { return UriEncode(s); };
const Encoder kXml = [](const std::u16string& s) { return XmlEscape(s); };

TEST(Text, ContainsNoCaseAcrossScripts) {
  const struct {
    const char16_t* haystack;
    const char16_t* needle;
    bool found;
  } cases[] = {{u"GLASS PANE", u"glass", true}, {u"Glass pane", u"PANE", true}, {u"SZKŁO", u"szkło", true},
               {u"СТЕКЛО окна", u"стекло", true}, {u"Fenster GLÄSER", u"gläser", true}, {u"Glas", u"glass", false},
               {u"Metal", u"glass", false}, {u"", u"", true}, {u"anything", u"", true}, {u"", u"a", false},
               {u"gglass", u"GLASS", true}};  // the last starts inside a partial match
  for (const auto& c : cases) EXPECT_EQ(ContainsNoCase(c.haystack, c.needle), c.found);
}

// Each encoder on the inputs that tell its kept set from its escaped one.
// Surrogates are encoded one unit at a time; sanitising never changes the
// length.
TEST(Text, EncodersKeepTheirOwnCharacterSets) {
  const struct {
    Encoder encode;
    std::u16string in, out;
  } cases[] = {
      {kSanitize, u"Wall/Brick #2", u"Wall_Brick _2"}, {kSanitize, u"Szkło\tмат.1", u"Szkło\tмат_1"},
      {kSanitize, u"a😀", u"a__"}, {kXml, u"&amp;", u"&amp;amp;"},
      {kPercent, u"Ä b-1", u"%c3%84%20b%2d1"},
      {kPercent, u"~._-3.50", u"%7e%2e%5f%2d3%2e50"},
      {kPercent, std::u16string(1, u'\0'), u"%00"},
      {kPercent, u"\u007F\u0080\u07FF\u0800\uFFFF", u"%7f%c2%80%df%bf%e0%a0%80%ef%bf%bf"},
      {kPercent, u"𝄞", u"%ed%a0%b4%ed%b4%9e"},
      {kUri, u"D:\\Maps\\wall 1.jpg", u"D:\\Maps\\wall%201.jpg"},
      {kUri, u"100% #1", u"100%25%20%231"},
      {kUri, u"!';&=+$,:/\\.-_~[]()@Büro", u"!';&=+$,:/\\.-_~[]()@Büro"},
      {kUri, u"a\"b<c>{}|^`€", u"a%22b%3cc%3e%7b%7d%7c%5e%60%e2%82%ac"},
      {kXml, u"a<b & \"c\"", u"a&lt;b &amp; &quot;c&quot;"},
      {kXml, u"it's > that Büro", u"it&apos;s &gt; that Büro"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.encode(c.in), c.out) << std::string(c.in.begin(), c.in.end());
  for (Encoder encode : {kSanitize, kPercent, kUri, kXml}) EXPECT_EQ(encode(u""), u"");
}

TEST(Text, UriEncodeFromManyThreadsAtOnce) {
  // The safe set is built on first use; racing first uses must agree.
  std::vector<std::thread> threads;
  std::vector<std::u16string> results(8);
  for (int t = 0; t < 8; ++t) threads.emplace_back([&results, t] { results[t] = UriEncode(u"/tex/wall 1 (copy).png"); });
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_EQ(r, u"/tex/wall%201%20(copy).png");
}

}  // namespace
