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
  for (float f : {0.0f, -0.0f, 0.0625f, 0.1875f, -0.0625f, 2.5e-7f, 0.0005f, 0.9995f, 1.0f, 0.25f, 0.996f,
                  0.99609375f, 123456.789f, -1e-4f, 5e8f, 9.99999e8f, 1e9f, 4e9f, 9.9e11f, 1e12f, 3e13f,
                  FLT_MAX, -FLT_MAX, FLT_MIN, FLT_TRUE_MIN, 16777216.0f, 16777217.0f}) {
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
                collada::Fixed6(-INFINITY), "NaNNaNINF-INF");
}

}  // namespace
