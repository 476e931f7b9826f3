// The one UTF-16 <-> UTF-8 converter of the project. The system's own text
// utilities, the registry store and the host stand-in all convert through it,
// so a text converts the same way wherever it travels.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace base {

// Lenient, as the Windows converter with flags 0: never fails. A lone
// surrogate, and each maximal malformed UTF-8 subpart, becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

// Strict, for names that must round-trip (registry keys and values): nothing
// for a lone surrogate, an overlong form, an encoded surrogate, a value past
// U+10FFFF or a truncated sequence.
std::optional<std::string> ToUtf8Strict(std::u16string_view text);
std::optional<std::u16string> FromUtf8Strict(std::string_view text);

}  // namespace base
