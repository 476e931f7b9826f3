// The POSIX name of a Windows mapping name. It must be the same in every
// process and for every renderer that links with us, so it is fixed:
//
//   "/corv-" UID "-" body
//
// body keeps each UTF-16 unit that is an ASCII letter, digit, "." "-" or "_";
// any other unit below 0x100 becomes "%HH", any unit from 0x100 up "%uHHHH"
// (upper-case hexadecimal). "%" itself is escaped and "u" is no hexadecimal
// digit, so the body decodes unambiguously: the encoding is injective.
// A result longer than NAME_MAX takes the digest form
//
//   "/corv-" UID "-~" 64 hexadecimal digits of SHA-256(name as UTF-16LE)
//
// which the plain form never produces ("~" is escaped there); two long names
// share it only on a SHA-256 collision.
#include <unistd.h>

#include <climits>
#include <string>

#include "platform/win32.h"
#include "sha256.h"

namespace {
constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kLowerHex[] = "0123456789abcdef";

bool KeptAsIs(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') || (unit >= u'A' && unit <= u'Z') || (unit >= u'0' && unit <= u'9') ||
         unit == u'.' || unit == u'-' || unit == u'_';
}
}  // namespace

std::string platform::ShmObjectName(std::u16string_view mappingName) {
  std::string name = "/corv-" + std::to_string(::geteuid()) + "-";
  const std::size_t prefix = name.size();
  name.reserve(prefix + mappingName.size() * 3);
  for (char16_t unit : mappingName) {
    if (KeptAsIs(unit)) {
      name += static_cast<char>(unit);
    } else if (unit < 0x100) {
      name += '%';
      name += kHex[unit >> 4];
      name += kHex[unit & 0xF];
    } else {
      name += "%u";
      for (int shift = 12; shift >= 0; shift -= 4) name += kHex[(unit >> shift) & 0xF];
    }
    // Stop early: the digest form does not need the rest.
    if (name.size() - 1 > NAME_MAX) break;
  }
  if (name.size() - 1 <= NAME_MAX) return name;  // the leading "/" is not part of the file name

  std::string bytes;
  bytes.reserve(mappingName.size() * 2);
  for (char16_t unit : mappingName) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  const auto digest = detail::Sha256(bytes.data(), bytes.size());
  name.resize(prefix);
  name += '~';
  for (std::uint8_t b : digest) {
    name += kLowerHex[b >> 4];
    name += kLowerHex[b & 0xF];
  }
  return name;
}
