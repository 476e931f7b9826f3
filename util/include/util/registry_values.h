// The add-on's settings key in the current user's registry and its text
// values. Failures come back as a null key or the registry's result; nothing
// here reports to the user.
#pragma once

#include <string>

#include "platform/win32.h"

namespace util {

// Opens HKEY_CURRENT_USER\path for reading and writing values, creating it
// when it does not exist. Null on any failure. The caller closes the key.
HKEY OpenOrCreateKey(const std::u16string& path);

// out := the value's text up to its first NUL (at most 511 units; a longer
// value gives ERROR_MORE_DATA). Text stored without a NUL ends where the data
// ends. Returns the registry result; out is empty on failure.
LSTATUS ReadStringValue(HKEY key, const std::u16string& name, std::u16string& out);

}  // namespace util
