// Reading and writing the add-on's settings in the current user's registry.
// None of these report errors to the user: readers fall back to defaults.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace util {

// Opens HKEY_CURRENT_USER\path for reading and writing values, creating it
// when it does not exist. Null on any failure. The caller closes the key.
HKEY OpenOrCreateKey(std::u16string path);

// out := the value's text up to its first NUL (at most 511 units; a longer
// value gives ERROR_MORE_DATA). Text stored without a NUL ends where the data
// ends. Returns the registry result; out is empty on failure.
LSTATUS ReadStringValue(HKEY key, const std::u16string& name, std::u16string& out);

// out := the value's (at most 4) bytes as a little-endian number, or def on
// any failure. A shorter value reads with zeros in its missing high bytes.
void ReadDwordValue(HKEY key, const std::u16string& name, std::uint32_t& out, std::uint32_t def);

// out := the leading decimal number of the value's text (0 when the text does
// not begin with one), or def when the value cannot be read, the number is out
// of float range, infinite or NaN. Returns the registry result of the read.
LSTATUS ReadFloatValue(HKEY key, const std::u16string& name, float& out, float def);

// REG_DWORD of v.
void WriteDwordValue(HKEY key, const std::u16string& name, std::uint32_t v);
// REG_SZ of v formatted with "%f", its NUL counted in the size.
void WriteFloatValue(HKEY key, const std::u16string& name, float v);

}  // namespace util
