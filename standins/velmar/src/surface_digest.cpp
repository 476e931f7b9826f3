#include "surface_digest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/parallel_for.h"

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

// A corner's digest: its position, normal and texture coordinate.
std::uint64_t Corner(const Geometry& g, std::size_t v, bool normals, bool coords) {
  std::uint64_t h = 0x436F7276616E7461ull;
  for (int k = 0; k < 3; ++k)
    h = Add(h, (std::uint64_t{Bits(g.positions[v * 3 + k])} << 32) | (normals ? Bits(g.normals[v * 3 + k]) : 0u));
  h = Add(h, coords ? (std::uint64_t{Bits(g.texCoords[v * 2])} << 32) | Bits(g.texCoords[v * 2 + 1]) : 0);
  return Mix(h);
}

}  // namespace

std::uint64_t GeometryDigest(const Geometry* geometry) { return GeometryDigester().Digest(geometry); }

std::uint64_t GeometryDigester::Digest(const Geometry* geometry) {
  if (geometry == nullptr) {
    revision_ = 0;
    return 0;
  }
  const Geometry& g = *geometry;
  const std::size_t vertices = g.vertexCount();
  const bool normals = g.normals.size() >= vertices * 3, coords = g.texCoords.size() >= vertices * 2;
  const std::size_t triangles = g.indices.size() / 3;
  const std::size_t pieces = (triangles + kPieceTriangles - 1) / kPieceTriangles;
  std::vector<bool> touched;
  const bool held = revision_ != 0 && sums_.size() == pieces;
  if (held && g.revision == revision_) {
    touched.assign(pieces, false);
  } else if (held && g.revision != 0 && g.base == revision_ && g.pieces.size() == pieces) {
    touched = TouchedPieces(g, g.changed);
  } else {
    touched.assign(pieces, true);
    sums_.assign(pieces, 0);
    triangles_.assign(pieces, 0);
  }
  // Only the pieces to sum again are handed out: after an edit that is a
  // few of thousands, not worth a task each.
  std::vector<std::size_t> due;
  for (std::size_t p = 0; p < pieces; ++p)
    if (touched[p]) due.push_back(p);
  // Every piece due: each vertex digested once, up front. A few pieces due
  // use a small part of the vertices, which are digested where they are met.
  const bool table = !due.empty() && due.size() == pieces;
  if (table) {
    corners_.resize(vertices);
    constexpr std::size_t kBlock = 1 << 16;
    base::ParallelFor((vertices + kBlock - 1) / kBlock, [&](std::size_t b) {
      for (std::size_t v = b * kBlock; v < std::min(vertices, (b + 1) * kBlock); ++v)
        corners_[v] = Corner(g, v, normals, coords);
    });
  }
  auto corner = [&](std::uint32_t v) { return table ? corners_[v] : Corner(g, v, normals, coords); };
  base::ParallelFor(due.size(), [&](std::size_t k) {
    const std::size_t p = due[k];
    // A sum of the triangles' digests: the same whatever their order, and
    // a triangle that is there twice counts twice.
    std::uint64_t sum = 0, counted = 0;
    for (std::size_t t = p * kPieceTriangles; t < std::min(triangles, (p + 1) * kPieceTriangles); ++t) {
      const std::uint32_t* i = &g.indices[3 * t];
      if (i[0] >= vertices || i[1] >= vertices || i[2] >= vertices) continue;
      std::uint64_t c[3] = {corner(i[0]), corner(i[1]), corner(i[2])};
      // Start at the smallest corner: a turn of the corners keeps the winding.
      std::rotate(c, std::min_element(c, c + 3), c + 3);
      // Distinct odd factors per position: the other winding is another sum.
      sum += Mix(c[0] * 0xD6E8FEB86659FD93ull + c[1] * 0xA0761D6478BD642Full + c[2] * 0xE7037ED1A0B428DBull);
      ++counted;
    }
    sums_[p] = sum;
    triangles_[p] = counted;
  });
  revision_ = g.revision;
  std::uint64_t sum = 0, counted = 0;
  for (std::size_t p = 0; p < pieces; ++p) sum += sums_[p], counted += triangles_[p];
  const std::uint64_t digest = Mix(Add(Add(0x5352464300000000ull, sum), counted));
  return digest == 0 ? 1 : digest;
}

std::string DigestText(std::uint64_t digest) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(digest));
  return text;
}

}  // namespace velmar
