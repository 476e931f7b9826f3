#include <locale.h>
#include <stdlib.h>

#include "../c_number.h"

namespace context {

float ParseFloatC(const char* text, char** end) {
  // Made once, never freed: shared by every thread for the process's life.
  static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
  return strtof_l(text, end, c);
}

}  // namespace context
