#include "surface_digest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velmar {

namespace {

// The finaliser of SplitMix64: every input bit reaches every output bit.
std::uint64_t Mix(std::uint64_t x) {
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x;
}

// One word into a running hash: cheap, and every word moves every bit of
// the state once the result goes through Mix.
std::uint64_t Add(std::uint64_t h, std::uint64_t word) {
  h = (h ^ word) * 0x9E3779B97F4A7C15ull;
  return (h << 29) | (h >> 35);
}

std::uint32_t Bits(float value) {
  if (value == 0) value = 0;  // -0 and 0 draw alike
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return bits;
}

}  // namespace

std::uint64_t CornerDigest(const Geometry& g, std::size_t v, bool normals, bool coords) {
  std::uint64_t h = 0x436F7276616E7461ull;
  for (int k = 0; k < 3; ++k)
    h = Add(h, (std::uint64_t{Bits(g.positions[v * 3 + k])} << 32) | (normals ? Bits(g.normals[v * 3 + k]) : 0u));
  h = Add(h, coords ? (std::uint64_t{Bits(g.texCoords[v * 2])} << 32) | Bits(g.texCoords[v * 2 + 1]) : 0);
  return Mix(h);
}

std::uint64_t TriangleDigest(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  std::uint64_t corners[3] = {a, b, c};
  // Start at the smallest corner: a turn of the corners keeps the winding.
  std::rotate(corners, std::min_element(corners, corners + 3), corners + 3);
  // Distinct odd factors per position: the other winding is another sum.
  return Mix(corners[0] * 0xD6E8FEB86659FD93ull + corners[1] * 0xA0761D6478BD642Full +
             corners[2] * 0xE7037ED1A0B428DBull);
}

std::uint64_t GeometryDigest(const Geometry* geometry) {
  if (geometry == nullptr) return 0;
  if (!PiecesCover(*geometry)) {
    Geometry summarised = *geometry;
    SummarisePieces(summarised);
    return GeometryDigest(&summarised);
  }
  // A sum of the triangles' shares: the same whatever their order, and a
  // triangle that is there twice counts twice.
  std::uint64_t sum = 0, counted = 0;
  for (const GeometryPiece& piece : geometry->pieces) sum += piece.digestSum, counted += piece.digested;
  const std::uint64_t digest = Mix(Add(Add(0x5352464300000000ull, sum), counted));
  return digest == 0 ? 1 : digest;
}

std::string DigestText(std::uint64_t digest) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(digest));
  return text;
}

}  // namespace velmar
