// Case mapping and character classes of single UTF-16 code units under the
// C.UTF-8 locale, through newlocale and the _l functions so that the process
// locale (the host's) is never touched. Surrogate halves are no letters, no
// space, and map to themselves; a mapping that would leave the BMP keeps the
// unit. Should C.UTF-8 be missing, ASCII rules apply.
#pragma once

#include <string>
#include <string_view>

namespace base {

char16_t UpperUnit(char16_t c);
char16_t LowerUnit(char16_t c);
bool IsAlnumUnit(char16_t c);
bool IsSpaceUnit(char16_t c);

// Every unit of text through UpperUnit / LowerUnit.
std::u16string UpperCase(std::u16string_view text);
std::u16string LowerCase(std::u16string_view text);

}  // namespace base
