#include "base/case_map.h"

#include <locale.h>
#include <wctype.h>

namespace base {
namespace {

// Created once, never freed: shared by every thread for the life of the
// process. Null only if C.UTF-8 is missing.
locale_t Utf8Locale() {
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return loc;
}

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

char16_t Narrow(wint_t mapped, char16_t original) {
  return mapped <= 0xFFFF ? static_cast<char16_t>(mapped) : original;
}

}  // namespace

char16_t UpperUnit(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  const locale_t loc = Utf8Locale();
  if (IsSurrogate(c) || loc == nullptr) return c;
  return Narrow(towupper_l(static_cast<wint_t>(c), loc), c);
}

char16_t LowerUnit(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
  const locale_t loc = Utf8Locale();
  if (IsSurrogate(c) || loc == nullptr) return c;
  return Narrow(towlower_l(static_cast<wint_t>(c), loc), c);
}

bool IsAlnumUnit(char16_t c) {
  if (c < 0x80) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
  }
  const locale_t loc = Utf8Locale();
  return !IsSurrogate(c) && loc != nullptr && iswalnum_l(static_cast<wint_t>(c), loc) != 0;
}

bool IsSpaceUnit(char16_t c) {
  if (c < 0x80) return c == u' ' || (c >= u'\t' && c <= u'\r');
  const locale_t loc = Utf8Locale();
  return !IsSurrogate(c) && loc != nullptr && iswspace_l(static_cast<wint_t>(c), loc) != 0;
}

std::u16string UpperCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = UpperUnit(c);
  return out;
}

std::u16string LowerCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = LowerUnit(c);
  return out;
}

}  // namespace base
