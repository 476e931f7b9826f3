// Windows' C runtime reads no "inf", "nan" or hexadecimal forms, and its
// strtod follows the process locale: the text is read with std::from_chars
// (locale-free, correctly rounded) as a double, with what strtof adds around
// it (leading white space, a "+" sign, the "0x" prefix), and narrowed with
// strtof's range errors.
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>

#include "../c_number.h"

namespace context {
namespace {

bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

float ParseFloatC(const char* text, char** end) {
  const char* const last = text + std::strlen(text);
  const char* p = text;
  while (p < last && IsCSpace(*p)) ++p;
  bool negative = false;
  if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
  double magnitude = 0.0;
  std::from_chars_result read{};
  const bool hex = last - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
                   (IsHexDigit(p[2]) || (p[2] == '.' && last - p > 3 && IsHexDigit(p[3])));
  if (hex) {
    read = std::from_chars(p + 2, last, magnitude, std::chars_format::hex);
  } else if (p < last && *p != '-' && *p != '+') {
    read = std::from_chars(p, last, magnitude, std::chars_format::general);
  } else {
    read = {p, std::errc::invalid_argument};
  }
  if (read.ec == std::errc::invalid_argument) {
    if (end != nullptr) *end = const_cast<char*>(text);  // nothing read, as strtof
    return 0.0f;
  }
  if (end != nullptr) *end = const_cast<char*>(read.ptr);
  float value;
  if (read.ec == std::errc::result_out_of_range) {
    // Past even a double's range: too small when the exponent is negative.
    const char* exponent = std::strpbrk(p, hex ? "pP" : "eE");
    const bool tiny = exponent != nullptr && exponent < read.ptr && exponent[1] == '-';
    errno = ERANGE;
    value = tiny ? 0.0f : HUGE_VALF;
  } else {
    value = static_cast<float>(magnitude);
    if (std::isfinite(magnitude) && (std::isinf(value) || (magnitude != 0.0 && magnitude < FLT_MIN))) errno = ERANGE;
  }
  return negative ? -value : value;
}

}  // namespace context
