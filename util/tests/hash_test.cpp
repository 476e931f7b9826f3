// The digest must match the renderer's bit for bit: these vectors come from
// the platform's own function.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "util/hash.h"

using namespace util;

static std::vector<std::uint8_t> Hex(const std::string& s) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(s.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(Hash, VectorsOfTheRenderersDigest) {
  const std::pair<std::string, std::string> raw[] = {
      {"51334FA74515F052902BE7F5FDE1A6A7", "549C9255CD82FFA18E0FCF9314AAE32D47FC80B8D049E6132A30518DF94B07A6"},
      {"51334FA74515F052", "2BDC9A1BF05AF9C6BE946DF333C13607"}};
  for (const auto& [src, digest] : raw) {
    const auto in = Hex(src), expected = Hex(digest);
    std::vector<std::uint8_t> out(expected.size(), 0xEE);
    EXPECT_TRUE(HashData(in.data(), in.size(), out.data(), out.size()));
    EXPECT_EQ(out, expected) << src;
  }
  // File names as the renderer hashes them: as given, case included (the
  // platform's vectors change with any case folding).
  EXPECT_EQ(HashFileName(u""), 0x0706050403020100ull);  // no source bytes leave the start pattern
  EXPECT_EQ(HashFileName(u"A"), 5455750519787945648ull);
  EXPECT_EQ(HashFileName(u"D:\\Projects\\House.dae"), 10544685472399284633ull);
  EXPECT_EQ(HashFileName(u"/home/anna/projects/House.dae"), 10202558457750404563ull);
  EXPECT_EQ(HashFileName(u"C:\\Users\\Ä\\Büro Entwurf.dae"), 8270139263326004746ull);
  // Missing buffers are refused and nothing is written.
  std::uint8_t d[4] = {9, 9, 9, 9};
  EXPECT_FALSE(HashData(nullptr, 3, d, 4));
  EXPECT_EQ(d[0], 9);
  EXPECT_FALSE(HashData(d, 1, nullptr, 4));
  EXPECT_TRUE(HashData(d, 1, nullptr, 0));
}
