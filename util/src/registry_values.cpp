#include "util/registry_values.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "char_class.h"
#include "util/text.h"

namespace util {
namespace {

constexpr DWORD kTextBytes = 1024;

// The value's bytes as text, bounded by what the query returned: text stored
// without its NUL must not be read past its end.
LSTATUS QueryText(HKEY key, const std::u16string& name, std::u16string& out) {
  out.clear();
  char16_t buf[kTextBytes / 2];
  DWORD size = kTextBytes;
  LSTATUS rc = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
  if (rc != ERROR_SUCCESS) return rc;
  std::size_t units = std::min<std::size_t>(size, kTextBytes) / 2;
  std::size_t n = 0;
  while (n < units && buf[n] != u'\0') ++n;
  out.assign(buf, n);
  return ERROR_SUCCESS;
}

// The leading decimal number of text as wcstof reads it, with "." as the
// decimal point whatever the locale. Nothing on a range error.
std::optional<float> LeadingFloat(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && detail::IsSpaceUnit(text[i])) ++i;
  std::string ascii;
  for (; i < text.size() && text[i] < 0x80; ++i) ascii.push_back(static_cast<char>(text[i]));
  const char* p = ascii.c_str();
  const char* end = p + ascii.size();
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
    if (p != end && (*p == '+' || *p == '-')) return 0.0f;  // one sign only
  }
  std::chars_format fmt = std::chars_format::general;
  if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
      std::isxdigit(static_cast<unsigned char>(p[2]) ) != 0) {
    fmt = std::chars_format::hex;
    p += 2;
  }
  float v = 0.0f;
  auto res = std::from_chars(p, end, v, fmt);
  if (res.ec == std::errc::result_out_of_range) return std::nullopt;
  if (res.ec != std::errc()) return 0.0f;  // no number: wcstof gives 0
  return negative ? -v : v;
}

}  // namespace

HKEY OpenOrCreateKey(std::u16string path) {
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (rc == ERROR_FILE_NOT_FOUND) {
    rc = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, &key, nullptr);
  }
  return rc == ERROR_SUCCESS ? key : nullptr;
}

LSTATUS ReadStringValue(HKEY key, const std::u16string& name, std::u16string& out) {
  return QueryText(key, name, out);
}

void ReadDwordValue(HKEY key, const std::u16string& name, std::uint32_t& out, std::uint32_t def) {
  BYTE bytes[4] = {0, 0, 0, 0};
  DWORD size = sizeof bytes;
  if (RegQueryValueExW(key, name.c_str(), nullptr, nullptr, bytes, &size) != ERROR_SUCCESS) {
    out = def;
    return;
  }
  out = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

LSTATUS ReadFloatValue(HKEY key, const std::u16string& name, float& out, float def) {
  out = def;
  std::u16string text;
  LSTATUS rc = QueryText(key, name, text);
  if (rc != ERROR_SUCCESS) return rc;
  std::optional<float> v = LeadingFloat(text);
  if (v && std::isfinite(*v)) out = *v;
  return ERROR_SUCCESS;
}

void WriteDwordValue(HKEY key, const std::u16string& name, std::uint32_t v) {
  BYTE bytes[4] = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                   static_cast<BYTE>(v >> 24)};
  RegSetValueExW(key, name.c_str(), 0, REG_DWORD, bytes, sizeof bytes);
}

void WriteFloatValue(HKEY key, const std::u16string& name, float v) {
  std::u16string text = FormatString(u"%f", static_cast<double>(v));
  // The largest float takes 46 units with "%f"; the stored text is limited to
  // 64 units with its NUL, as readers expect.
  if (text.size() > 63) text.resize(63);
  RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                 static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

}  // namespace util
