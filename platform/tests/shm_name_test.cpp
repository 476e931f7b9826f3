// The mapping-name encoding is a protocol between processes and with
// renderers built elsewhere: it must be injective, stay within NAME_MAX and
// never produce a second "/".
#include <unistd.h>

#include <climits>
#include <random>
#include <string>
#include <unordered_map>

#include "../src/sha256.h"
#include "platform/win32.h"
#include "test_support.h"

namespace {

std::string prefix() { return "/corv-" + std::to_string(::geteuid()) + "-"; }

std::string hex(const std::array<std::uint8_t, 32>& d) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (auto b : d) s += {digits[b >> 4], digits[b & 15]};
  return s;
}

TEST(ShmName, Sha256KnownVectors) {
  EXPECT_EQ(hex(platform::detail::Sha256("abc", 3)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the padding spills into a second block.
  const char* two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(hex(platform::detail::Sha256(two, 56)), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::string million(1000000, 'a');
  EXPECT_EQ(hex(platform::detail::Sha256(million.data(), million.size())),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(ShmName, ReadableExamples) {
  EXPECT_EQ(platform::ShmObjectName(u"D:/Projects/House.dae"), prefix() + "D%3A%2FProjects%2FHouse.dae");
  EXPECT_EQ(platform::ShmObjectName(u"CorvantaAPI/4711/0000001A"), prefix() + "CorvantaAPI%2F4711%2F0000001A");
  EXPECT_EQ(platform::ShmObjectName(u"a\\b%c~d e"), prefix() + "a%5Cb%25c%7Ed%20e");
  EXPECT_EQ(platform::ShmObjectName(u"Haus \u00e4\u20ac"), prefix() + "Haus%20%E4%u20AC");
  EXPECT_EQ(platform::ShmObjectName(u"\xd800"), prefix() + "%uD800");  // unpaired surrogate kept
}

TEST(ShmName, InjectiveOverTrickyNames) {
  // Short strings over an alphabet of units that play a role in the encoding
  // (escape character, its hex digits, the "u" marker, separators, wide units).
  const std::u16string alphabet = u"/\\%u2F5Cab.~ \x00ff\x0100\x2F00\xd800\xffff";
  std::unordered_map<std::string, std::u16string> seen;
  std::mt19937 rng(12345);
  auto check = [&](const std::u16string& name) {
    const std::string encoded = platform::ShmObjectName(name);
    ASSERT_LE(encoded.size() - 1, static_cast<std::size_t>(NAME_MAX));
    ASSERT_EQ(encoded.find('/', 1), std::string::npos);
    auto [it, inserted] = seen.emplace(encoded, name);
    if (!inserted) {
      ASSERT_EQ(it->second, name) << "two names share " << encoded;
    }
  };
  // Every string of up to three units, then random longer ones.
  for (char16_t a : alphabet) {
    check(std::u16string(1, a));
    for (char16_t b : alphabet) {
      check(std::u16string{a, b});
      for (char16_t c : alphabet) check(std::u16string{a, b, c});
    }
  }
  for (int i = 0; i < 20000; ++i) {
    std::u16string name(1 + rng() % 12, u'a');
    for (auto& unit : name) unit = alphabet[rng() % alphabet.size()];
    check(name);
  }
  check(u"");
}

TEST(ShmName, LongNamesTakeTheDigestForm) {
  const std::string p = prefix();
  const std::size_t room = NAME_MAX - (p.size() - 1);
  // The longest plain name fits exactly; one unit more switches form.
  const std::u16string fits(room, u'a');
  EXPECT_EQ(platform::ShmObjectName(fits), p + std::string(room, 'a'));
  const std::string longer = platform::ShmObjectName(fits + u"a");
  EXPECT_TRUE(longer.size() == p.size() + 1 + 64 && longer.rfind(p + "~", 0) == 0) << longer;
  // Escapes count: few units, but too many bytes once encoded.
  const std::u16string slashes(room / 3 + 1, u'/');
  EXPECT_EQ(platform::ShmObjectName(slashes)[p.size()], '~');
  // Names that differ only far beyond the cut differ in their digests.
  const std::u16string a(5000, u'x');
  EXPECT_NE(platform::ShmObjectName(a), platform::ShmObjectName(a.substr(1) + u'y'));
  EXPECT_EQ(platform::ShmObjectName(a), platform::ShmObjectName(std::u16string(5000, u'x')));
  // The digest covers both bytes of each unit.
  EXPECT_NE(platform::ShmObjectName(std::u16string(300, u'\x0100')),
            platform::ShmObjectName(std::u16string(300, u'\x0001')));
}

}  // namespace
