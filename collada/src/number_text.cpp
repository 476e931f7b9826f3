#include "collada/number_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace collada {
namespace {

// "000" to "999", the fraction digits of "%0.3f" and the groups of longer
// numbers.
constexpr std::array<char, 3000> MakeTriples() {
  std::array<char, 3000> t{};
  for (int i = 0; i < 1000; ++i) {
    t[3 * i] = static_cast<char>('0' + i / 100);
    t[3 * i + 1] = static_cast<char>('0' + i / 10 % 10);
    t[3 * i + 2] = static_cast<char>('0' + i % 10);
  }
  return t;
}
constexpr std::array<char, 3000> kTriples = MakeTriples();

char* WriteUnsigned(char* p, std::uint64_t n) {
  if (n < 1000) {
    // No leading zeros: 1 to 3 digits.
    const char* t = &kTriples[3 * n];
    int skip = n < 10 ? 2 : n < 100 ? 1 : 0;
    std::memcpy(p, t + skip, 3 - skip);
    return p + 3 - skip;
  }
  p = WriteUnsigned(p, n / 1000);
  std::memcpy(p, &kTriples[3 * (n % 1000)], 3);
  return p + 3;
}

char* WriteNonFinite(char* p, float value) {
  const char* text = std::isnan(value) ? "NaN" : value < 0 ? "-INF" : "INF";
  std::size_t n = std::strlen(text);
  return std::copy_n(text, n, p);
}

// |value| * 10^Digits rounded to an integer as printf rounds: to nearest,
// exact halves to even. The caller guarantees the product is exact in a
// double (a float's 24 bits times 10^Digits, at most 20 bits) and below
// 2^53, so truncating it and the remainder are exact too.
template <int Digits>
std::uint64_t ScaledMagnitude(float value) {
  constexpr double kScale = Digits == 3 ? 1e3 : 1e6;
  const double a = std::fabs(static_cast<double>(value) * kScale);
  auto n = static_cast<std::uint64_t>(a);
  const double frac = a - static_cast<double>(n);
  if (frac > 0.5 || (frac == 0.5 && (n & 1) != 0)) ++n;
  return n;
}

template <int Digits>
char* WriteScaled(char* p, float value) {
  constexpr std::uint64_t kDivisor = Digits == 3 ? 1000 : 1000000;
  const std::uint64_t n = ScaledMagnitude<Digits>(value);
  if (std::signbit(value)) *p++ = '-';  // printf keeps the sign of -0.0001 and -0.0
  p = WriteUnsigned(p, n / kDivisor);
  *p++ = '.';
  const std::uint64_t frac = n % kDivisor;
  if constexpr (Digits == 3) {
    std::memcpy(p, &kTriples[3 * frac], 3);
    return p + 3;
  } else {
    std::memcpy(p, &kTriples[3 * (frac / 1000)], 3);
    std::memcpy(p + 3, &kTriples[3 * (frac % 1000)], 3);
    return p + 6;
  }
}

char* WriteGeneral(char* p, float value, int precision) {
  // std::to_chars with a precision is specified as printf in the "C" locale.
  auto result = std::to_chars(p, p + kMaxFixedText, value, std::chars_format::fixed, precision);
  return result.ptr;
}

}  // namespace

char* WriteFixed3(char* p, float value) {
  if (!std::isfinite(value)) return WriteNonFinite(p, value);
  if (std::fabs(value) < 1e12f) return WriteScaled<3>(p, value);
  return WriteGeneral(p, value, 3);
}

char* WriteFixed6(char* p, float value) {
  if (!std::isfinite(value)) return WriteNonFinite(p, value);
  if (std::fabs(value) < 1e9f) return WriteScaled<6>(p, value);
  return WriteGeneral(p, value, 6);
}

char* WriteInt(char* p, std::int32_t value) {
  std::uint64_t magnitude;
  if (value < 0) {
    *p++ = '-';
    magnitude = static_cast<std::uint64_t>(-static_cast<std::int64_t>(value));
  } else {
    magnitude = static_cast<std::uint64_t>(value);
  }
  return WriteUnsigned(p, magnitude);
}

std::string Fixed3(float value) {
  char buffer[kMaxFixedText];
  return std::string(buffer, WriteFixed3(buffer, value));
}

std::string Fixed6(float value) {
  char buffer[kMaxFixedText];
  return std::string(buffer, WriteFixed6(buffer, value));
}

}  // namespace collada
