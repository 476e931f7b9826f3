// Base64 against RFC 4648's own vectors, and the texts a damaged project or
// resource file may hold: each is refused whole, never read in part.
#include "base/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Base64, RfcVectorsBothWaysAndDamagedTextRefused) {
  const std::string plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
  const std::string coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (int i = 0; i < 7; ++i) {
    const std::vector<std::uint8_t> bytes(plain[i].begin(), plain[i].end());
    EXPECT_EQ(base::Base64Encode(bytes), coded[i]);
    EXPECT_EQ(base::Base64Decode(coded[i]), bytes) << coded[i];
  }
  const std::vector<std::uint8_t> all = {0x00, 0xFB, 0xFF, 0x3E, 0x80};
  EXPECT_EQ(base::Base64Decode(base::Base64Encode(all)), all);
  // A short length, a foreign character, padding inside or before data,
  // three padding characters.
  for (const char* bad : {"Zm9", "Zm9v\n", "Zm 9", "Zg==Zm9v", "Z=9v", "Zg=v", "Z===", "===="})
    EXPECT_FALSE(base::Base64Decode(bad).has_value()) << bad;
}

}  // namespace
