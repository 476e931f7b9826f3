// The host's string type: UTF-16 text. Header-only so that add-on and host
// agree on its layout without sharing code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace GS {

class UniString {
 public:
  UniString() = default;
  UniString(const char16_t* text) : text_(text != nullptr ? text : u"") {}
  UniString(std::u16string text) : text_(std::move(text)) {}
  UniString(std::u16string_view text) : text_(text) {}
  // From UTF-8; malformed bytes become U+FFFD.
  static UniString FromUtf8(std::string_view utf8);

  const char16_t* ToUStr() const { return text_.c_str(); }
  const std::u16string& ToU16() const { return text_; }
  std::string ToUtf8() const;
  std::size_t GetLength() const { return text_.size(); }
  bool IsEmpty() const { return text_.empty(); }
  friend bool operator==(const UniString&, const UniString&) = default;

 private:
  std::u16string text_;
};

namespace detail {
inline void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(char(c));
  } else if (c < 0x800) {
    out.push_back(char(0xC0 | (c >> 6)));
    out.push_back(char(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(char(0xE0 | (c >> 12)));
    out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(char(0x80 | (c & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (c >> 18)));
    out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(char(0x80 | (c & 0x3F)));
  }
}
inline void AppendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(char16_t(c));
  } else {
    c -= 0x10000;
    out.push_back(char16_t(0xD800 + (c >> 10)));
    out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
  }
}
}  // namespace detail

inline UniString UniString::FromUtf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = std::uint8_t(s[i]);
    std::size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
    char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    bool ok = len != 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      const auto b = std::uint8_t(s[i + k]);
      if ((b & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are malformed too.
    if (ok && ((len == 2 && c < 0x80) || (len == 3 && c < 0x800) || (len == 4 && c < 0x10000) || c > 0x10FFFF ||
               (c >= 0xD800 && c <= 0xDFFF))) {
      ok = false;
    }
    if (!ok) {
      out.push_back(u'\xFFFD');
      ++i;
      continue;
    }
    detail::AppendUtf16(out, c);
    i += len;
  }
  return UniString(std::move(out));
}

inline std::string UniString::ToUtf8() const {
  std::string out;
  out.reserve(text_.size());
  for (std::size_t i = 0; i < text_.size(); ++i) {
    char32_t c = text_[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text_.size() && text_[i + 1] >= 0xDC00 && text_[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text_[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    detail::AppendUtf8(out, c);
  }
  return out;
}

}  // namespace GS
