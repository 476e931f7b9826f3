#include "base/utf.h"

namespace base {
namespace {

void PutUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void PutUtf16(char32_t c, std::u16string& out) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(c));
  }
}

// Allowed range of the second byte of a sequence, by lead byte; later bytes
// are always 80..BF. This excludes overlong forms, surrogates and values
// past U+10FFFF.
bool SecondByteOk(unsigned char lead, unsigned char b) {
  switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return b >= 0x80 && b <= 0xBF;
  }
}

// Decodes the sequence at s[i]. On success returns true with the code point
// and its length; on failure returns false with the length of the maximal
// malformed subpart (at least 1), which a lenient caller replaces by U+FFFD.
bool DecodeOne(std::string_view s, std::size_t i, char32_t* c, std::size_t* length) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t need;
  if (lead < 0x80) {
    *c = lead;
    *length = 1;
    return true;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
    *c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    *c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    *c = lead & 0x07;
  } else {
    *length = 1;
    return false;
  }
  std::size_t k = 1;
  for (; k < need && i + k < s.size(); ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (k == 1 ? !SecondByteOk(lead, b) : (b & 0xC0) != 0x80) break;
    *c = (*c << 6) | (b & 0x3F);
  }
  *length = k;
  return k == need;
}

// Pairs a high surrogate with the low one after it; false for a lone one.
bool NextCodePoint(std::u16string_view s, std::size_t& i, char32_t* c) {
  *c = s[i];
  if (*c >= 0xD800 && *c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
    *c = 0x10000 + ((*c - 0xD800) << 10) + (s[++i] - 0xDC00);
    return true;
  }
  return !(*c >= 0xD800 && *c <= 0xDFFF);
}

}  // namespace

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c;
    PutUtf8(NextCodePoint(text, i, &c) ? c : 0xFFFD, out);
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c;
    std::size_t length;
    PutUtf16(DecodeOne(text, i, &c, &length) ? c : 0xFFFD, out);
    i += length;
  }
  return out;
}

std::optional<std::string> ToUtf8Strict(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c;
    if (!NextCodePoint(text, i, &c)) return std::nullopt;
    PutUtf8(c, out);
  }
  return out;
}

std::optional<std::u16string> FromUtf8Strict(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c;
    std::size_t length;
    if (!DecodeOne(text, i, &c, &length)) return std::nullopt;
    PutUtf16(c, out);
    i += length;
  }
  return out;
}

}  // namespace base
