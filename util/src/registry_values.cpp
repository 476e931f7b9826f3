#include "util/registry_values.h"

#include <algorithm>
#include <string>

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

}  // namespace

HKEY OpenOrCreateKey(const std::u16string& path) {
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (rc == ERROR_FILE_NOT_FOUND) {
    rc = RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                         &key, nullptr);
  }
  return rc == ERROR_SUCCESS ? key : nullptr;
}

LSTATUS ReadStringValue(HKEY key, const std::u16string& name, std::u16string& out) { return QueryText(key, name, out); }

}  // namespace util
