// The project's UTF-16 <-> UTF-8 converter, under the name the stand-ins and
// older code use; it lives in base/utf.h.
#pragma once

#include "base/utf.h"

namespace platform {
using base::FromUtf8;
using base::FromUtf8Strict;
using base::ToUtf8;
using base::ToUtf8Strict;
}  // namespace platform
