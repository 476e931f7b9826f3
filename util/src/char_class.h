// Character classes and case mapping of single UTF-16 code units under the
// C.UTF-8 locale: the text utilities' names for base/case_map.h.
#pragma once

#include "base/case_map.h"

namespace util::detail {

inline char16_t ToUpperUnit(char16_t c) { return base::UpperUnit(c); }
using base::IsAlnumUnit;
using base::IsSpaceUnit;

}  // namespace util::detail
