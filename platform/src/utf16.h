// Bounded lengths of wide strings and the Win32 copy-out of a text, for the
// stand-ins' calls that take or fill caller buffers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace platform::detail {

// Length of a NUL-terminated wide string, looking at no more than maxUnits
// units; false when text is null or no NUL comes within the limit.
bool BoundedLength(LPCWSTR text, std::size_t maxUnits, std::size_t* length);
// Win32 copy-out: at most maxChars - 1 units plus a NUL; returns the units
// copied. maxChars <= 0 or a null buffer copies nothing.
int CopyTruncated(std::u16string_view text, LPWSTR buffer, int maxChars);

}  // namespace platform::detail
