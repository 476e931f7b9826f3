// UTF-16 <-> UTF-8 for the stand-ins' own files and paths. The text
// utilities of the system build on this library, so it cannot use them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/utf.h"
#include "platform/win32.h"

namespace platform::detail {

using ::platform::FromUtf8;
using ::platform::ToUtf8;
// Length of a NUL-terminated wide string, looking at no more than maxUnits
// units; false when text is null or no NUL comes within the limit.
bool BoundedLength(LPCWSTR text, std::size_t maxUnits, std::size_t* length);
// Win32 copy-out: at most maxChars - 1 units plus a NUL; returns the units
// copied. maxChars <= 0 or a null buffer copies nothing.
int CopyTruncated(std::u16string_view text, LPWSTR buffer, int maxChars);

}  // namespace platform::detail
