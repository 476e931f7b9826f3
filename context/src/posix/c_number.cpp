#include <locale.h>
#include <stdlib.h>

#include "../c_number.h"
#include "base/module_locale.h"

namespace context {

float ParseFloatC(const char* text, char** end) {
  // Made once, shared by every thread, freed with the module.
  static const base::ModuleLocale c(LC_ALL_MASK, "C");
  return strtof_l(text, end, c.get());
}

}  // namespace context
