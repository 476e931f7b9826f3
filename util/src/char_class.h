// Character classes and case mapping of single UTF-16 code units under the
// C.UTF-8 locale, used through newlocale and the _l functions so that the
// process locale is never touched. Surrogate halves are no letters, no
// space, and map to themselves.
#pragma once

namespace util::detail {

char16_t ToUpperUnit(char16_t c);
bool IsAlnumUnit(char16_t c);
bool IsSpaceUnit(char16_t c);

}  // namespace util::detail
