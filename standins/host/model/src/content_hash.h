// Deterministic content hashing for identities that must survive reloads:
// GUIDs from names, generation ids from geometry, stamps from materials.
// Values are fed as explicit little-endian bytes so the result does not
// depend on struct padding.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace hostmodel::detail {

class ContentHash {
 public:
  explicit ContentHash(std::uint64_t seed = 0) { Mix64(seed); }

  void Bytes(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < n; ++i) {
      a_ = (a_ ^ p[i]) * 0x100000001b3ull;
      b_ = (b_ ^ p[i]) * 0x00000100000001b3ull + 0x9e3779b97f4a7c15ull;
    }
  }
  void Mix64(std::uint64_t v) {
    std::uint8_t le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<std::uint8_t>(v >> (8 * i));
    Bytes(le, 8);
  }
  // -0.0 and 0.0 hash alike: they are the same coordinate.
  void Double(double d) { Mix64(Bits(d)); }
  // One step per 64-bit word, for the bulk of a model's geometry: Mix64
  // takes a multiply per byte on each chain, which made hashing a
  // 10M-triangle import's generation ids take over a second. Words and
  // bytes hash differently, so a value fed one way must always be fed
  // that way; Finish spreads what either leaves.
  void Word(std::uint64_t v) {
    a_ = Rotl(a_ ^ (v * 0xc2b2ae3d27d4eb4full), 31) * 0x9e3779b185ebca87ull;
    b_ = Rotl(b_ + v * 0x165667b19e3779f9ull, 27) * 0x9e3779b185ebca87ull + 0x85ebca77c2b2ae63ull;
  }
  void WordDouble(double d) { Word(Bits(d)); }
  void Text(std::string_view s) {
    Mix64(s.size());
    Bytes(s.data(), s.size());
  }

  std::uint64_t Low() const { return Finish(a_); }
  std::uint64_t High() const { return Finish(b_ ^ 0xd6e8feb86659fd93ull); }

 private:
  static std::uint64_t Bits(double d) {
    if (d == 0.0) d = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    return bits;
  }
  static std::uint64_t Rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }
  static std::uint64_t Finish(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb3f97a4fe1b9ull;
    x ^= x >> 33;
    return x;
  }
  std::uint64_t a_ = 0xcbf29ce484222325ull;
  std::uint64_t b_ = 0x84222325cbf29ce4ull;
};

}  // namespace hostmodel::detail
