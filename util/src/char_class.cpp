#include "char_class.h"

#include <locale.h>
#include <wctype.h>

namespace util::detail {
namespace {

// Created once, never freed: it is shared by every thread for the life of
// the process. Null only if C.UTF-8 is missing, and then ASCII rules apply.
locale_t Utf8Locale() {
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

char16_t ToUpperUnit(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  locale_t loc = Utf8Locale();
  if (IsSurrogate(c) || loc == nullptr) return c;
  wint_t u = towupper_l(static_cast<wint_t>(c), loc);
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

bool IsAlnumUnit(char16_t c) {
  if (c < 0x80) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
  }
  locale_t loc = Utf8Locale();
  return !IsSurrogate(c) && loc != nullptr && iswalnum_l(static_cast<wint_t>(c), loc) != 0;
}

bool IsSpaceUnit(char16_t c) {
  if (c < 0x80) return c == u' ' || (c >= u'\t' && c <= u'\r');
  locale_t loc = Utf8Locale();
  return !IsSurrogate(c) && loc != nullptr && iswspace_l(static_cast<wint_t>(c), loc) != 0;
}

}  // namespace util::detail
