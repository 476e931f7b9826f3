#include "base/case_map.h"

#ifdef _WIN32
#include "base/windows_text.h"
#else
#include <locale.h>
#include <wctype.h>

#include "base/module_locale.h"
#endif

namespace base {
namespace {

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The one place that asks the system about a character beyond ASCII (never a
// surrogate): the C.UTF-8 locale on Linux, the invariant locale's tables on
// Windows. Both follow Unicode's simple case mapping.
#ifdef _WIN32
char16_t MapUnit(char16_t c, DWORD how) {
  wchar_t in = static_cast<wchar_t>(c), out = in;
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, how, &in, 1, &out, 1, nullptr, nullptr, 0) != 1) return c;
  return static_cast<char16_t>(out);
}
WORD TypeOf(char16_t c) {
  const wchar_t in = static_cast<wchar_t>(c);
  WORD type = 0;
  return GetStringTypeW(CT_CTYPE1, &in, 1, &type) ? type : 0;
}
char16_t SystemUpper(char16_t c) { return MapUnit(c, LCMAP_UPPERCASE); }
char16_t SystemLower(char16_t c) { return MapUnit(c, LCMAP_LOWERCASE); }
bool SystemAlnum(char16_t c) { return (TypeOf(c) & (C1_ALPHA | C1_DIGIT)) != 0; }
bool SystemSpace(char16_t c) { return (TypeOf(c) & C1_SPACE) != 0; }
#else
// Created once, shared by every thread, freed with the module. Null only
// if C.UTF-8 is missing.
locale_t Utf8Locale() {
  static const ModuleLocale loc(LC_CTYPE_MASK, "C.UTF-8");
  return loc.get();
}
char16_t Narrow(wint_t mapped, char16_t original) {
  return mapped <= 0xFFFF ? static_cast<char16_t>(mapped) : original;
}
char16_t SystemUpper(char16_t c) {
  const locale_t loc = Utf8Locale();
  return loc == nullptr ? c : Narrow(towupper_l(static_cast<wint_t>(c), loc), c);
}
char16_t SystemLower(char16_t c) {
  const locale_t loc = Utf8Locale();
  return loc == nullptr ? c : Narrow(towlower_l(static_cast<wint_t>(c), loc), c);
}
bool SystemAlnum(char16_t c) {
  const locale_t loc = Utf8Locale();
  return loc != nullptr && iswalnum_l(static_cast<wint_t>(c), loc) != 0;
}
bool SystemSpace(char16_t c) {
  const locale_t loc = Utf8Locale();
  return loc != nullptr && iswspace_l(static_cast<wint_t>(c), loc) != 0;
}
#endif

}  // namespace

char16_t UpperUnit(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  return IsSurrogate(c) ? c : SystemUpper(c);
}

char16_t LowerUnit(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
  return IsSurrogate(c) ? c : SystemLower(c);
}

bool IsAlnumUnit(char16_t c) {
  if (c < 0x80) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
  }
  return !IsSurrogate(c) && SystemAlnum(c);
}

bool IsSpaceUnit(char16_t c) {
  if (c < 0x80) return c == u' ' || (c >= u'\t' && c <= u'\r');
  return !IsSurrogate(c) && SystemSpace(c);
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
