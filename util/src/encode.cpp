// Search, sanitising and the three encoders.
#include <algorithm>
#include <array>

#include "char_class.h"
#include "util/text.h"

namespace util {
namespace {

using detail::IsAlnumUnit;
using detail::IsSpaceUnit;
using detail::ToUpperUnit;

constexpr std::array<std::array<char16_t, 3>, 256> MakePercentTable() {
  std::array<std::array<char16_t, 3>, 256> t{};
  constexpr char16_t hex[] = u"0123456789abcdef";
  for (int b = 0; b < 256; ++b) t[b] = {u'%', hex[b >> 4], hex[b & 15]};
  return t;
}
constexpr auto kPercent = MakePercentTable();

void PutByte(unsigned b, std::u16string& out) {
  const auto& p = kPercent[b & 0xFF];
  out.append(p.data(), 3);
}

// Steps shared by both encoders: the UTF-8 bytes of one code unit taken
// alone (so a surrogate pair gives two three-byte sequences).
void PercentUnit(char16_t c, std::u16string& out) {
  if (c <= 0x7F) {
    PutByte(c, out);
  } else if (c <= 0x7FF) {
    PutByte(0xC0 | (c >> 6), out);
    PutByte(0x80 | (c & 0x3F), out);
  } else {
    PutByte(0xE0 | (c >> 12), out);
    PutByte(0x80 | ((c >> 6) & 0x3F), out);
    PutByte(0x80 | (c & 0x3F), out);
  }
}

bool IsAsciiAlnum(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

}  // namespace

bool ContainsNoCase(std::u16string_view haystack, std::u16string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > haystack.size()) return false;
  auto eq = [](char16_t a, char16_t b) { return a == b || ToUpperUnit(a) == ToUpperUnit(b); };
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(), eq) != haystack.end();
}

std::u16string SanitizeName(std::u16string s) {
  for (auto& c : s) {
    if (!IsAlnumUnit(c) && !IsSpaceUnit(c)) c = u'_';
  }
  return s;
}

std::u16string PercentEncode(std::u16string_view s) {
  std::u16string out;
  out.reserve(s.size() * 3);
  for (char16_t c : s) {
    if (IsAsciiAlnum(c)) {
      out.push_back(c);
    } else {
      PercentUnit(c, out);
    }
  }
  return out;
}

std::u16string UriEncode(std::u16string_view s) {
  // Built once; the initialisation of a local static is thread-safe.
  static const std::array<bool, 128> safe = [] {
    std::array<bool, 128> t{};
    for (char c : std::string_view("!';&=+$,:/\\.-_~[]()@")) t[static_cast<unsigned char>(c)] = true;
    return t;
  }();
  std::u16string out;
  out.reserve(s.size());
  for (char16_t c : s) {
    if ((c < 128 && safe[c]) || IsAlnumUnit(c)) {
      out.push_back(c);
    } else {
      PercentUnit(c, out);
    }
  }
  return out;
}

std::u16string XmlEscape(std::u16string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (char16_t c : s) {
    switch (c) {
      case u'"': out += u"&quot;"; break;
      case u'&': out += u"&amp;"; break;
      case u'\'': out += u"&apos;"; break;
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

}  // namespace util
