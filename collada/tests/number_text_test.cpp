// The number texts must match printf byte for byte: readers of earlier
// documents and golden files compare them as text.
#include "collada/number_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "util/text.h"

namespace {

std::string Printf(const char* format, double value) {
  char buffer[512];
  int n = std::snprintf(buffer, sizeof buffer, format, value);
  return std::string(buffer, static_cast<std::size_t>(n));
}

void ExpectLikePrintf(float f) {
  ASSERT_EQ(collada::Fixed3(f), Printf("%0.3f", f)) << std::hexfloat << f;
  ASSERT_EQ(collada::Fixed6(f), Printf("%f", f)) << std::hexfloat << f;
}

TEST(NumberText, FixedFormsMatchPrintfOverEveryMagnitude) {
  // Halves of the last decimal that are exact in binary round to even, as
  // printf does; values just beside them round the other way.
  for (float f :
       {0.0f,    -0.0f,  0.0625f,     0.1875f,     -0.0625f, 2.5e-7f, 0.0005f,      0.9995f,     1.0f,
        0.25f,   0.996f, 0.99609375f, 123456.789f, -1e-4f,   5e8f,    9.99999e8f,   1e9f,        4e9f,
        9.9e11f, 1e12f,  3e13f,       FLT_MAX,     -FLT_MAX, FLT_MIN, FLT_TRUE_MIN, 16777216.0f, 16777217.0f}) {
    ExpectLikePrintf(f);
    ExpectLikePrintf(std::nextafter(f, 0.0f));
    ExpectLikePrintf(std::nextafter(f, 1e30f));
  }
  std::mt19937 rng(20261207);
  std::uniform_int_distribution<std::uint32_t> bits;
  std::uniform_real_distribution<float> model(-500.0f, 500.0f);
  for (int i = 0; i < 200000; ++i) {
    float any = std::bit_cast<float>(bits(rng));
    if (std::isfinite(any)) ExpectLikePrintf(any);
    ExpectLikePrintf(model(rng));
    // Exact binary ties at three and six decimals.
    float tie = static_cast<float>(static_cast<int>(bits(rng) % 200000) - 100000) / 16.0f;
    ExpectLikePrintf(tie);
    ExpectLikePrintf(tie / 1024.0f);
  }
}

TEST(NumberText, IntegersMatchPrintf) {
  std::vector<std::int32_t> values = {0, 1, -1, 9, 10, 99, 100, 999, 1000, 1001, 999999, 1000000, INT_MAX, INT_MIN};
  std::mt19937 rng(7);
  for (int i = 0; i < 100000; ++i) values.push_back(static_cast<std::int32_t>(rng()));
  for (std::int32_t v : values) {
    char buffer[collada::kMaxIntText];
    ASSERT_EQ(std::string(buffer, collada::WriteInt(buffer, v)), std::to_string(v));
  }
}

TEST(NumberText, NonFiniteValuesUseTheSchemaForms) {
  EXPECT_EQ(collada::Fixed3(std::nanf("")) + collada::Fixed3(-std::nanf("")) + collada::Fixed3(INFINITY) +
                collada::Fixed6(-INFINITY),
            "NaNNaNINF-INF");
}

// The document must be the same bytes from the Linux and the Windows
// build: each value pinned to its text, never compared with the platform's
// own printf (Windows' C runtime has its own). Ties at the last digit
// (exact in binary) round to even, the sign of zero and of values that
// round to zero stays, subnormals give zeros, and values past the scaled
// path print every digit of their binary value.
TEST(NumberText, PinnedTextsAreTheSameOnEveryPlatform) {
  struct Pin {
    float value;
    const char* fixed3;
    const char* fixed6;
  };
  static const Pin kPins[] = {
      {0x0p+0f, "0.000", "0.000000"},
      {-0x0p+0f, "-0.000", "-0.000000"},
      {0x1p-149f, "0.000", "0.000000"},  // the smallest subnormal
      {-0x1p-149f, "-0.000", "-0.000000"},
      {0x1p-126f, "0.000", "0.000000"},  // the smallest normal
      {0x1p-4f, "0.062", "0.062500"},    // 0.0625: a tie, down to even
      {0x1.8p-3f, "0.188", "0.187500"},  // 0.1875: a tie, up to even
      {-0x1p-4f, "-0.062", "-0.062500"},
      {0x1.0624dep-11f, "0.001", "0.000500"},            // 0.0005 is a little above
      {0x1.ffbe76p-1f, "0.999", "0.999500"},             // 0.9995 is a little below
      {0x1.0c6f7ap-22f, "0.000", "0.000000"},            // 2.5e-7 is a little below
      {0x1.e240cap+16f, "123456.789", "123456.789062"},  // a tie at six digits
      {0x1.e847fep+19f, "999999.938", "999999.937500"},  // a tie at three digits
      {0x1.ffffdep-2f, "0.500", "0.499999"},
      {0x1.fffffep-1f, "1.000", "1.000000"},
      {-0x1.a36e2ep-14f, "-0.000", "-0.000100"},
      {0x1p+24f, "16777216.000", "16777216.000000"},
      {0x1.dcd65p+28f, "500000000.000", "500000000.000000"},
      {0x1.dcd65p+29f, "1000000000.000", "1000000000.000000"},  // past the scaled six-digit path
      {0x1.d1a94ap+39f, "999999995904.000", "999999995904.000000"},
      {0x1.b1ae4ep+69f, "1000000020040877342720.000", "1000000020040877342720.000000"},  // 1e21
      {-0x1.b1ae4ep+69f, "-1000000020040877342720.000", "-1000000020040877342720.000000"},
      {0x1.fffffep+127f, "340282346638528859811704183484516925440.000",
       "340282346638528859811704183484516925440.000000"},
  };
  for (const Pin& pin : kPins) {
    EXPECT_EQ(collada::Fixed3(pin.value), pin.fixed3) << std::hexfloat << pin.value;
    EXPECT_EQ(collada::Fixed6(pin.value), pin.fixed6) << std::hexfloat << pin.value;
  }
  // The writer's forms for what no number text can say.
  for (float nan : {std::nanf(""), -std::nanf("")}) EXPECT_EQ(collada::Fixed6(nan), "NaN");
  EXPECT_EQ(collada::Fixed3(INFINITY), "INF");
  EXPECT_EQ(collada::Fixed3(-INFINITY), "-INF");
  char buffer[collada::kMaxIntText];
  for (auto [value, text] : {std::pair{INT_MIN, "-2147483648"}, {INT_MAX, "2147483647"}, {0, "0"}, {-1, "-1"}})
    EXPECT_EQ(std::string(buffer, collada::WriteInt(buffer, value)), text);

  // util's formatter, which writes the settings' numbers and the texts
  // around the document's, gives the same bytes too.
  EXPECT_EQ(util::FormatString(u"%f|%0.3f|%.0f|%.0f", -0.0, 0.0625, 2.5, 3.5), u"-0.000000|0.062|2|4");
  EXPECT_EQ(util::FormatString(u"%e|%g|%.3f", 1e-320, 1e21, 9007199254740993.0),
            u"9.999889e-321|1e+21|9007199254740992.000");
  EXPECT_EQ(util::FormatString(u"%#.0f|%a|%.17g", 1.0, 1.0, 0.1), u"1.|0x1p+0|0.10000000000000001");
  EXPECT_EQ(util::FormatString(u"%f|%f|%F", INFINITY, -INFINITY, INFINITY), u"inf|-inf|INF");
  EXPECT_EQ(util::FormatString(u"%lld|%llu|%08.3f|%-8.2f|", LLONG_MIN, ULLONG_MAX, -3.14159, 2.5),
            u"-9223372036854775808|18446744073709551615|-003.142|2.50    |");
}

}  // namespace
