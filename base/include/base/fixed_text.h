// Fixed-width UTF-16 text fields (shared memory records, Win32 buffers): NUL
// terminated inside their width, or filled to the brim without a NUL. Nothing
// here reads or writes past the width it is given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace base {

// Units before the first NUL, looking at no more than units: a field filled
// to the brim ends at its width. 0 for a null field.
std::size_t FixedTextLength(const char16_t* field, std::size_t units);

// The text of a field up to its first NUL or its width, each unit read once.
std::u16string ReadFixedText(const char16_t* field, std::size_t units);

// What WriteFixedText does with a text that does not fit with its NUL.
enum class Overflow {
  Refuse,    // the field is left empty; the result is false
  Truncate,  // the first `units` units, without terminator; the result is true
  // At most units - 1 units, so the field always keeps one NUL, and a cut
  // never leaves the first half of a surrogate pair without its second (a
  // reader converting the field would otherwise meet a broken character).
  // The result is true.
  TruncateTerminated,
};

// Zero-fills the whole field, then writes text. The result is false only
// for a refused text, a null field, or a zero-width field that must keep
// its NUL.
bool WriteFixedText(char16_t* field, std::size_t units, std::u16string_view text, Overflow overflow);

}  // namespace base
