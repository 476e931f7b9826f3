// The text helpers on what the add-on meets: FormatString against the C
// library's own printf in the C locale (every integer and float form the
// add-on writes byte for byte, "." the decimal point under any process
// locale), and search, sanitising and the encoders on material names, project
// paths, status values and web-link parameters.
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cfloat>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "util/text.h"

using namespace util;

namespace {

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Each format of formats with each of values, through FormatString and printf.
template <typename T, std::size_t N, std::size_t M>
void ExpectLikePrintf(const char* const (&formats)[N], const T (&values)[M]) {
  for (const char* f : formats)
    for (T v : values) {
      std::string buf(static_cast<std::size_t>(std::snprintf(nullptr, 0, f, v)) + 1, '\0');
      std::snprintf(buf.data(), buf.size(), f, v);
#ifdef _WIN32
      // The C runtime's printf drops the "0" that C requires for "%#.0o" of
      // 0 (glibc writes it, and so does FormatString).
      if (std::string_view(f).find("#.0o") != std::string_view::npos && v == 0) continue;
#endif
      EXPECT_EQ(FormatString(Widen(f), v), Widen(buf.c_str())) << f << " of " << v;
    }
}

TEST(Format, NumbersMatchPrintf) {
  const double values[] = {0.0,
                           -0.0,
                           1.0,
                           -1.5,
                           0.1,
                           2.5,
                           0.0005,
                           0.00049999,
                           1e-7,
                           123456.789,
                           1e15,
                           1e16,
                           1e22,
                           9.999999e-5,
                           1.0 / 3.0,
                           2.0 / 3.0,
                           1e300,
                           -1e-300,
                           DBL_MIN,
                           DBL_MAX,
                           5e-324,
                           0.125,
                           0.375,
                           2.675,
                           1.005,
                           1e21,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN()};
  const char* formats[] = {"%f",  "%0.3f",   "%.0f",      "%.1f",  "%.17f",   "%12.4f", "%-12.2f|", "%+f",
                           "% f", "%012.3f", "%-+09.2f|", "%e",    "%.0e",    "%.10E",  "%+015.3e", "%g",
                           "%G",  "%.0g",    "%.1g",      "%.17g", "%10.3g",  "%-10g|", "%a",       "%.3a",
                           "%A",  "%#.0f",   "%#g",       "%#.3g", "%.20000f"};  // precision past the exact expansion
                                                                                 // only adds zeros
  ExpectLikePrintf(formats, values);
  const char* longFormats[] = {"%.3Lf", "%Le"};  // long doubles through L
  const long double longs[] = {2.0005L, 1e-4000L};
  ExpectLikePrintf(longFormats, longs);
  const int ints[] = {0, 1, -1, 42, -42, 255, INT_MAX, INT_MIN};
  const char* intFormats[] = {"%d",   "%i",    "%5d",      "%-5d|", "%05d", "%+d",  "% d", "%.3d",
                              "%.0d", "%8.3d", "%-+8.3d|", "%x",    "%X",   "%08X", "%#x", "%#o",
                              "%o",   "%u",    "%#.0o",    "%hd",   "%hhd", "%hu",  "%hhx"};
  ExpectLikePrintf(intFormats, ints);
  const char* bigFormats[] = {"%llu", "%llx", "%020llu", "%lld"};
  const unsigned long long big[] = {0ull, 1ull, 18446744073709551615ull, 10202558457750404563ull, 1ull << 63};
  ExpectLikePrintf(bigFormats, big);
  EXPECT_EQ(FormatString(u"%I64u", 18446744073709551615ull), u"18446744073709551615");
  // Star widths and precisions: negative ones left-align and are none.
  EXPECT_EQ(FormatString(u"%*d|%-*d|%.*d|%*d|%.*f", 4, 1, 4, 2, 3, 3, -4, 5, -1, 0.5), u"   1|2   |003|5   |0.500000");
}

// Text arguments as the add-on's messages use them (widths, precisions,
// text beyond the BMP, a missing text, literal percent signs), and errors.
TEST(Format, TextArgumentsMixedMessagesAndErrors) {
  EXPECT_EQ(FormatString(u"ArchiveName %s", u"Büro 𝄞"), u"ArchiveName Büro 𝄞");
  EXPECT_EQ(FormatString(u"[%8s][%-8s][%.3s][%5.1s]", u"abc", u"abc", u"abcdef", u"xyz"),
            u"[     abc][abc     ][abc][    x]");
  EXPECT_EQ(FormatString(u"%s|", static_cast<const char16_t*>(nullptr)), u"(null)|");
  EXPECT_EQ(FormatString(u"100%% of %d: {\"fileNameCrc\":\"%llu\"}", 3, 506097522914230528ull),
            u"100% of 3: {\"fileNameCrc\":\"506097522914230528\"}");
  // A precision stops reading: the text need not be terminated.
  const char16_t unterminated[3] = {u'a', u'b', u'c'};
  EXPECT_EQ(FormatString(u"%.3s", unterminated), u"abc");
  // Malformed conversions, %n, and widths or results past what printf can
  // count give empty text; %n writes nothing.
  for (const char16_t* f : {u"abc%", u"%y", u"%5", u"%Lu", u"%ä", u"%99999999999d"}) EXPECT_EQ(FormatString(f, 1), u"");
  EXPECT_EQ(FormatString(u"%.99999999999f", 1.0), u"");
  int written = 0;
  EXPECT_EQ(FormatString(u"x%n", &written), u"");
  EXPECT_EQ(written, 0);
}

// A comma-decimal process locale (built from the installed sources into a
// temporary LOCPATH where it is not compiled) must not reach the output.
#ifdef _WIN32
// On Windows the C runtime's own German locale gives the comma.
TEST(Format, DecimalPointIgnoresTheProcessLocale) {
  const bool german = setlocale(LC_ALL, "German_Germany.1252") != nullptr || setlocale(LC_ALL, "de-DE") != nullptr;
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  const bool comma = german && std::string(probe) == "1,5";
  if (comma) {
    EXPECT_EQ(FormatString(u"%0.3f|%f|%g|%e|%#.0f", 1.5, 0.01, 2.5, 1e-4, 2.0), u"1.500|0.010000|2.5|1.000000e-04|2.");
  }
  setlocale(LC_ALL, "C");
  if (!comma) GTEST_SKIP() << "the C runtime has no German locale with a decimal comma here";
}
#else
TEST(Format, DecimalPointIgnoresTheProcessLocale) {
  char dir[] = "/tmp/corv-locale-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  if (setlocale(LC_ALL, "de_DE.UTF-8") == nullptr &&
      std::system(("localedef -i de_DE -f UTF-8 " + std::string(dir) + "/de_DE.UTF-8 >/dev/null 2>&1").c_str()) == 0) {
    ::setenv("LOCPATH", dir, 1);
    setlocale(LC_ALL, "de_DE.UTF-8");
  }
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  const bool comma = std::string(probe) == "1,5";  // the host's locale really is in force
  if (comma) {
    EXPECT_EQ(FormatString(u"%0.3f|%f|%g|%e|%#.0f", 1.5, 0.01, 2.5, 1e-4, 2.0), u"1.500|0.010000|2.5|1.000000e-04|2.");
  }
  setlocale(LC_ALL, "C");
  std::filesystem::remove_all(dir);
  if (!comma) GTEST_SKIP() << "no German locale can be built here (package locales missing)";
}
#endif

using Encoder = std::u16string (*)(std::u16string_view);
const Encoder kSanitize = [](std::u16string_view s) { return SanitizeName(std::u16string(s)); };
const Encoder kPercent = PercentEncode, kUri = UriEncode, kXml = XmlEscape;

TEST(Text, ContainsNoCaseAcrossScripts) {
  const std::tuple<const char16_t*, const char16_t*, bool> cases[] = {
      {u"GLASS PANE", u"glass", true},
      {u"Glass pane", u"PANE", true},
      {u"SZKŁO", u"szkło", true},
      {u"СТЕКЛО окна", u"стекло", true},
      {u"Fenster GLÄSER", u"gläser", true},
      {u"Glas", u"glass", false},
      {u"Metal", u"glass", false},
      {u"", u"", true},
      {u"anything", u"", true},
      {u"", u"a", false},
      {u"gglass", u"GLASS", true}};  // the last starts inside a partial match
  for (const auto& [haystack, needle, found] : cases) EXPECT_EQ(ContainsNoCase(haystack, needle), found);
}

// Each encoder on the inputs that tell its kept set from its escaped one
// (the first uses of the process). Surrogates are encoded one unit at a time; sanitising never changes the
// length.
TEST(Text, EncodersKeepTheirOwnCharacterSets) {
  const std::tuple<Encoder, std::u16string, std::u16string> cases[] = {
      {kSanitize, u"Wall/Brick #2", u"Wall_Brick _2"},
      {kSanitize, u"Szkło\tмат.1", u"Szkło\tмат_1"},
      {kSanitize, u"a😀", u"a__"},
      {kXml, u"&amp;", u"&amp;amp;"},
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
  // From several threads at once, as the first uses: the safe sets are
  // built on first use, and racing first uses must agree.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (const auto& [encode, in, out] : cases) EXPECT_EQ(encode(in), out) << std::string(in.begin(), in.end());
    });
  for (auto& th : threads) th.join();
  for (Encoder encode : {kSanitize, kPercent, kUri, kXml}) EXPECT_EQ(encode(u""), u"");
}

}  // namespace
