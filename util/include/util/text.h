// Text utilities shared by the whole add-on. The system's text is UTF-16
// (std::u16string); narrow strings hold UTF-8. Character classes and case
// mapping follow the C.UTF-8 locale whatever locale the host process runs in.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace util {

// printf-style formatting into UTF-16, with "." as the decimal point whatever
// the locale. Conversions: %d %i %u %o %x %X (lengths hh h l ll z j t, and
// I64), %f %F %e %E %g %G %a %A (L for long double), %c (a UTF-16 unit),
// %s and %ls (const char16_t*), %hs and %S (const char* holding UTF-8), %p,
// %%; flags - + space # 0, width and precision (also as *). A format error
// (an unknown or incomplete conversion, %n, or a result longer than INT_MAX)
// gives an empty string.
std::u16string FormatString(std::u16string format, ...);
std::u16string VFormatString(std::u16string_view format, va_list args);

// True when needle occurs in haystack, comparing upper-cased code units.
// An empty needle is always found.
bool ContainsNoCase(std::u16string_view haystack, std::u16string_view needle);

// Every code unit that is neither alphanumeric nor white space becomes "_";
// the length stays.
std::u16string SanitizeName(std::u16string s);

// Percent-encodes everything but ASCII letters and digits, each code unit as
// the UTF-8 bytes of that unit alone, with lower-case hexadecimal ("Ä b-1"
// gives "%c3%84%20b%2d1"). For status values and web-link parameters.
std::u16string PercentEncode(std::u16string_view s);

// Like PercentEncode, but keeps alphanumerics of any script and the marks
// !';&=+$,:/\.-_~[]()@ so that file references stay readable.
std::u16string UriEncode(std::u16string_view s);

// Replaces " & ' < > by their XML entities.
std::u16string XmlEscape(std::u16string_view s);

}  // namespace util
