// UTF-16 <-> UTF-8 with the replacement rules of the system converter:
// nothing is an error, malformed input becomes U+FFFD.
#include "base/utf.h"
#include "util/text.h"

namespace util {

std::string ToUtf8(std::u16string_view s) { return base::ToUtf8(s); }
std::u16string FromUtf8(std::string_view s) { return base::FromUtf8(s); }

}  // namespace util
