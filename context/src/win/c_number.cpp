// The C runtime has strtod with a locale of the caller's but no strtof with
// one: the text is read as a double and narrowed, with the range errors
// strtof would give (overflow to infinity, underflow below a float's
// smallest normal value).
#include <locale.h>
#include <stdlib.h>

#include <cerrno>
#include <cfloat>
#include <cmath>

#include "../c_number.h"

namespace context {

float ParseFloatC(const char* text, char** end) {
  // Made once, never freed: shared by every thread for the process's life.
  static const _locale_t c = _create_locale(LC_ALL, "C");
  // Only this call's range error counts; the caller's errno stays otherwise.
  const int before = errno;
  errno = 0;
  const double wide = _strtod_l(text, end, c);
  if (errno == ERANGE || !std::isfinite(wide)) {
    if (errno != ERANGE) errno = before;
    return static_cast<float>(wide);
  }
  errno = before;
  const double magnitude = std::fabs(wide);
  if (magnitude > static_cast<double>(FLT_MAX)) {
    // Halfway past FLT_MAX still rounds down to it, as strtof rounds.
    const float narrowed = static_cast<float>(wide);
    if (std::isinf(narrowed)) errno = ERANGE;
    return narrowed;
  }
  if (magnitude != 0.0 && magnitude < static_cast<double>(FLT_MIN)) errno = ERANGE;
  return static_cast<float>(wide);
}

}  // namespace context
