#include "utf16.h"

#include <algorithm>

namespace platform::detail {

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    char32_t c = 0xFFFD;
    std::size_t length = 1;
    std::size_t need = 0;
    char32_t minimum = 0;
    if (b0 < 0x80) {
      c = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      need = 1, c = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      need = 2, c = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      need = 3, c = b0 & 0x07, minimum = 0x10000;
    }
    if (need > 0) {
      bool good = i + need < text.size();  // the continuation bytes exist
      for (std::size_t k = 1; good && k <= need; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) good = false;
        else c = (c << 6) | (b & 0x3F);
      }
      if (good && c >= minimum && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF)) {
        length = need + 1;
      } else {
        c = 0xFFFD;
        length = 1;
      }
    }
    i += length;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

bool BoundedLength(LPCWSTR text, std::size_t maxUnits, std::size_t* length) {
  if (!text) return false;
  for (std::size_t i = 0; i <= maxUnits; ++i) {
    if (text[i] == u'\0') {
      *length = i;
      return true;
    }
  }
  return false;
}

int CopyTruncated(std::u16string_view text, LPWSTR buffer, int maxChars) {
  if (!buffer || maxChars <= 0) return 0;
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(maxChars) - 1);
  std::copy_n(text.data(), n, buffer);
  buffer[n] = u'\0';
  return static_cast<int>(n);
}

}  // namespace platform::detail
