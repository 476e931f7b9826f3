#include "utf16.h"

#include <algorithm>

namespace platform::detail {

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
