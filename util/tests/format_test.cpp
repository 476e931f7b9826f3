// FormatString against the C library's own printf in the C locale: every
// integer and float form the add-on writes must come out byte for byte the
// same, and "." must stay the decimal point under any process locale.
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>

#include "util/text.h"

using util::FormatString;

namespace {

std::u16string Widen(const std::string& s) {
  std::u16string r;
  for (unsigned char c : s) r.push_back(c);
  return r;
}

template <typename T>
std::string CPrintf(const char* fmt, T v) {
  char buf[2048];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

TEST(Format, FloatsMatchPrintf) {
  const double values[] = {0.0, -0.0, 1.0, -1.5, 0.1, 2.5, 0.0005, 0.00049999, 1e-7, 123456.789,
                            1e15, 1e16, 1e22, 9.999999e-5, 1.0 / 3.0, 2.0 / 3.0, 1e300, -1e-300,
                            DBL_MIN, DBL_MAX, 5e-324, 0.125, 0.375, 2.675, 1.005, 1e21,
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN()};
  const char* formats[] = {"%f", "%0.3f", "%.0f", "%.1f", "%.17f", "%12.4f", "%-12.2f|", "%+f",
                           "% f", "%012.3f", "%-+09.2f|", "%e", "%.0e", "%.10E", "%+015.3e",
                           "%g", "%G", "%.0g", "%.1g", "%.17g", "%10.3g", "%-10g|", "%a", "%.3a",
                           "%A", "%#.0f", "%#g", "%#.3g"};
  for (const char* f : formats) {
    for (double v : values) EXPECT_EQ(FormatString(Widen(f), v), Widen(CPrintf(f, v))) << f << " of " << v;
  }
  // Long doubles through L.
  EXPECT_EQ(FormatString(u"%.3Lf", 2.0005L), Widen(CPrintf("%.3Lf", 2.0005L)));
  EXPECT_EQ(FormatString(u"%Le", 1e-4000L), Widen(CPrintf("%Le", 1e-4000L)));
  // Precision past the exact expansion only adds zeros.
  std::string exact(20003, '\0');
  std::snprintf(exact.data(), exact.size(), "%.20000f", 0.1);
  EXPECT_EQ(FormatString(u"%.20000f", 0.1), Widen(exact.c_str()));
}

TEST(Format, IntegersMatchPrintf) {
  const int ints[] = {0, 1, -1, 42, -42, 255, INT_MAX, INT_MIN};
  const char* intFormats[] = {"%d", "%i", "%5d", "%-5d|", "%05d", "%+d", "% d", "%.3d", "%.0d",
                              "%8.3d", "%-+8.3d|", "%x", "%X", "%08X", "%#x", "%#o", "%o", "%u",
                              "%#.0o", "%hd", "%hhd", "%hu", "%hhx"};
  for (const char* f : intFormats) {
    for (int v : ints) EXPECT_EQ(FormatString(Widen(f), v), Widen(CPrintf(f, v))) << f << " " << v;
  }
  const unsigned long long big[] = {0ull, 1ull, 18446744073709551615ull, 10202558457750404563ull};
  for (const char* f : {"%llu", "%llx", "%020llu", "%I64u"}) {
    const char* cf = std::string(f) == "%I64u" ? "%llu" : f;
    for (auto v : big) EXPECT_EQ(FormatString(Widen(f), v), Widen(CPrintf(cf, v))) << f;
  }
  EXPECT_EQ(FormatString(u"%lld", LLONG_MIN), u"-9223372036854775808");
  // Star widths and precisions: negative ones left-align and are none.
  EXPECT_EQ(FormatString(u"%*d|%-*d|%.*d|%*d|%.*f", 4, 1, 4, 2, 3, 3, -4, 5, -1, 0.5), u"   1|2   |003|5   |0.500000");
}

// Text arguments as the add-on's messages use them (widths, precisions,
// text beyond the BMP, a missing text, literal percent signs).
TEST(Format, TextArgumentsAndMixedMessages) {
  EXPECT_EQ(FormatString(u"ArchiveName %s", u"Büro 𝄞"), u"ArchiveName Büro 𝄞");
  EXPECT_EQ(FormatString(u"[%8s][%-8s][%.3s][%5.1s]", u"abc", u"abc", u"abcdef", u"xyz"),
            u"[     abc][abc     ][abc][    x]");
  EXPECT_EQ(FormatString(u"%s|", static_cast<const char16_t*>(nullptr)), u"(null)|");
  EXPECT_EQ(FormatString(u"100%% of %d: {\"fileNameCrc\":\"%llu\"}", 3, 506097522914230528ull),
            u"100% of 3: {\"fileNameCrc\":\"506097522914230528\"}");
  // A precision stops reading: the text need not be terminated.
  const char16_t unterminated[3] = {u'a', u'b', u'c'};
  EXPECT_EQ(FormatString(u"%.3s", unterminated), u"abc");
}

// Malformed conversions, %n, and widths or results past what printf can
// count give empty text; %n writes nothing.
TEST(Format, FormatErrorsGiveEmptyText) {
  for (const char16_t* f : {u"abc%", u"%y", u"%5", u"%Lu", u"%ä", u"%99999999999d"}) EXPECT_EQ(FormatString(f, 1), u"");
  EXPECT_EQ(FormatString(u"%.99999999999f", 1.0), u"");
  int written = 0;
  EXPECT_EQ(FormatString(u"x%n", &written), u"");
  EXPECT_EQ(written, 0);
}

// A comma-decimal process locale (built from the installed sources into a
// temporary LOCPATH where it is not compiled) must not reach the output.
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
  if (std::string(probe) == "1,5") {  // the host's locale really is in force
    EXPECT_EQ(FormatString(u"%0.3f|%f|%g|%e|%#.0f", 1.5, 0.01, 2.5, 1e-4, 2.0), u"1.500|0.010000|2.5|1.000000e-04|2.");
  }
  setlocale(LC_ALL, "C");
  std::filesystem::remove_all(dir);
  if (std::string(probe) != "1,5") GTEST_SKIP() << "no German locale can be built here (package locales missing)";
}

}  // namespace
