// Numbers in OBJ and MTL text as assimp reads them, for the host's own
// readers of those files, whose models must hold the very floats that
// assimp's import holds.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace hostmodel::detail {

// assimp parses OBJ numbers with its own routine, not a correctly rounded
// one: the integer part and the fraction (at most 15 digits) are converted
// separately and added in single precision; an exponent multiplies by a
// single-precision power of ten. The host model must hold the very floats
// that assimp's import holds, so the same arithmetic is used here.
inline constexpr double kFractionScale[16] = {0.0,  1e-1, 1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                              1e-8, 1e-9, 1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15};

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Eight bytes of text read at once (the first in the lowest byte): most
// numbers and indices of a model file are shorter than that, and the
// digit-at-a-time loops were a third of reading a large file.
//
// How many of the eight bytes in x are decimal digits before the first one
// that is not. A byte outside '0'..'9' gets its top bit set by one of the
// two sums; the carries and borrows they make run only into later bytes.
inline unsigned DigitRun8(std::uint64_t x) {
  const std::uint64_t nonDigit = ((x + 0x4646464646464646ull) | (x - 0x3030303030303030ull)) & 0x8080808080808080ull;
  return nonDigit ? static_cast<unsigned>(std::countr_zero(nonDigit)) / 8 : 8;
}

// The value of the first n (1..8) bytes of x, all digits: moved up so that
// the missing ones read as leading zeros, then pairs, quads and halves
// combined.
inline std::uint64_t DigitValue8(std::uint64_t x, unsigned n) {
  x = (x - 0x3030303030303030ull) << (8 * (8 - n));
  x = (x * 2561) >> 8 & 0x00FF00FF00FF00FFull;
  x = (x * 6553601) >> 16 & 0x0000FFFF0000FFFFull;
  return (x * 42949672960001ull) >> 32;
}

inline std::uint64_t Load8(const char* p) {
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  return x;
}

// Decimal digits from p; at most maxDigits are taken (the rest skipped),
// *taken says how many. Null on more than 19 significant integer digits.
inline const char* Digits(const char* p, const char* end, unsigned maxDigits, std::uint64_t& value, unsigned& taken) {
  if (end - p >= 8 && maxDigits >= 8) {
    const std::uint64_t x = Load8(p);
    const unsigned n = DigitRun8(x);
    if (n < 8) {
      value = n ? DigitValue8(x, n) : 0;
      taken = n;
      return p + n;
    }
  }
  value = 0;
  taken = 0;
  while (p < end && IsDigit(*p)) {
    if (taken == maxDigits) {
      while (p < end && IsDigit(*p)) ++p;
      break;
    }
    value = value * 10 + static_cast<unsigned>(*p - '0');
    ++taken;
    ++p;
  }
  return p;
}

// One number ending at a blank or the line's end. Null for anything but
// [+-]digits[.digits][(e|E)[+-]digits] (names such as "nan", decimal
// commas, a leading dot, trailing letters): such files go to assimp.
inline const char* ParseNumber(const char* p, const char* end, float& out) {
  const bool negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  // assimp's OBJ parser does not take ".5" for a number.
  if (p == end || !IsDigit(*p)) return nullptr;
  float f = 0;
  bool any = false;
  if (p < end && IsDigit(*p)) {
    std::uint64_t whole;
    unsigned taken;
    p = Digits(p, end, 20, whole, taken);
    if (taken > 19) return nullptr;  // would overflow assimp's integer
    f = static_cast<float>(whole);
    any = true;
  }
  if (p < end && *p == '.') {
    ++p;
    if (p < end && IsDigit(*p)) {
      std::uint64_t fraction;
      unsigned taken;
      p = Digits(p, end, 15, fraction, taken);
      double pl = static_cast<double>(fraction) * kFractionScale[taken];
      f += static_cast<float>(pl);
      any = true;
    }
  }
  if (!any) return nullptr;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negativeExponent = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    if (p == end || !IsDigit(*p)) return nullptr;
    std::uint64_t e;
    unsigned taken;
    p = Digits(p, end, 20, e, taken);
    if (taken > 19) return nullptr;
    float exponent = static_cast<float>(e);
    if (negativeExponent) exponent = -exponent;
    f *= std::pow(10.0f, exponent);
  }
  if (p < end && !IsBlank(*p)) return nullptr;
  out = negative ? -f : f;
  return p;
}

inline const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && IsBlank(*p)) ++p;
  return p;
}

}  // namespace hostmodel::detail
