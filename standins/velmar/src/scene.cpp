#include "scene.h"

#include <algorithm>
#include <cmath>

#include "base/parallel_for.h"
#include "surface_digest.h"

namespace velmar {

void Bounds::Add(const float* p) {
  if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return;
  // The first point is taken as it is; the test for it is made once per
  // point, not per side: this runs over every corner of a surface read
  // whole.
  if (empty) {
    min = max = {p[0], p[1], p[2]};
    empty = false;
    return;
  }
  for (int i = 0; i < 3; ++i) {
    min[i] = std::min(min[i], p[i]);
    max[i] = std::max(max[i], p[i]);
  }
}

void Bounds::Add(const Bounds& other) {
  if (other.empty) return;
  Add(other.min.data());
  Add(other.max.data());
}

Bounds UsedBounds(const Geometry& g) {
  Bounds bounds;
  const std::size_t vertices = g.vertexCount();
  for (std::uint32_t index : g.indices)
    if (index < vertices) bounds.Add(&g.positions[static_cast<std::size_t>(index) * 3]);
  return bounds;
}

namespace {

// The piece's span, bounds and digest share from g's arrays; corners, when
// given, holds every vertex's digest.
void SummarisePiece(const Geometry& g, GeometryPiece& piece, const std::uint64_t* corners) {
  const std::size_t first = piece.firstTriangle * 3;
  const std::size_t last = std::min(g.indices.size() / 3 * 3, first + std::size_t{piece.triangles} * 3);
  const std::size_t vertices = g.vertexCount();
  const bool normals = g.normals.size() >= vertices * 3, coords = g.texCoords.size() >= vertices * 2;
  std::uint32_t low = UINT32_MAX, high = 0;
  Bounds bounds;
  std::uint64_t sum = 0;
  std::uint32_t digested = 0;
  for (std::size_t i = first; i < last; i += 3) {
    const std::uint32_t* t = &g.indices[i];
    for (int k = 0; k < 3; ++k) {
      if (t[k] >= vertices) continue;
      low = std::min(low, t[k]);
      high = std::max(high, t[k]);
      bounds.Add(&g.positions[std::size_t{t[k]} * 3]);
    }
    if (t[0] >= vertices || t[1] >= vertices || t[2] >= vertices) continue;
    auto corner = [&](std::uint32_t v) { return corners ? corners[v] : CornerDigest(g, v, normals, coords); };
    sum += TriangleDigest(corner(t[0]), corner(t[1]), corner(t[2]));
    ++digested;
  }
  piece.firstVertex = low;
  piece.lastVertex = high;
  piece.bounds = bounds;
  piece.digestSum = sum;
  piece.digested = digested;
}

// Pieces of at most kPieceTriangles over triangles [first, end), appended
// to pieces unsummarised.
void CutPieces(std::size_t first, std::size_t end, std::vector<GeometryPiece>& pieces) {
  for (std::size_t t = first; t < end; t += kPieceTriangles) {
    GeometryPiece piece;
    piece.firstTriangle = t;
    piece.triangles = static_cast<std::uint32_t>(std::min(kPieceTriangles, end - t));
    pieces.push_back(piece);
  }
}

void UniteBounds(Geometry& g) {
  g.bounds = Bounds();
  for (const GeometryPiece& piece : g.pieces) g.bounds.Add(piece.bounds);
}

// The piece holding triangle t (pieces cover the triangles).
std::size_t PieceOf(const Geometry& g, std::size_t t) {
  auto it = std::upper_bound(g.pieces.begin(), g.pieces.end(), t,
                             [](std::size_t value, const GeometryPiece& p) { return value < p.firstTriangle; });
  return static_cast<std::size_t>(it - g.pieces.begin()) - 1;
}

}  // namespace

std::span<const std::uint8_t> ArrayBytes(const Geometry& g, GeometryArray array) {
  auto bytes = [](const auto& values) {
    return std::span(reinterpret_cast<const std::uint8_t*>(values.data()), 4 * values.size());
  };
  switch (array) {
    case GeometryArray::kPositions: return bytes(g.positions);
    case GeometryArray::kNormals: return bytes(g.normals);
    case GeometryArray::kTexCoords: return bytes(g.texCoords);
    case GeometryArray::kIndices: break;
  }
  return bytes(g.indices);
}

bool PiecesCover(const Geometry& g) {
  std::size_t next = 0;
  for (const GeometryPiece& piece : g.pieces) {
    if (piece.firstTriangle != next || piece.triangles == 0) return false;
    next += piece.triangles;
  }
  return next == g.triangleCount();
}

void SummarisePieces(Geometry& g, std::vector<std::uint64_t>* corners) {
  g.pieces.clear();
  CutPieces(0, g.triangleCount(), g.pieces);
  // Every vertex digested once, up front: a vertex is a corner of about six
  // triangles, and digesting it per corner would do that work six times.
  std::vector<std::uint64_t> own;
  std::vector<std::uint64_t>& table = corners != nullptr ? *corners : own;
  const std::size_t vertices = g.vertexCount();
  const bool normals = g.normals.size() >= vertices * 3, coords = g.texCoords.size() >= vertices * 2;
  table.resize(vertices);
  constexpr std::size_t kBlock = 1 << 16;
  base::ParallelFor((vertices + kBlock - 1) / kBlock, [&](std::size_t b) {
    for (std::size_t v = b * kBlock; v < std::min(vertices, (b + 1) * kBlock); ++v)
      table[v] = CornerDigest(g, v, normals, coords);
  });
  base::ParallelFor(g.pieces.size(), [&](std::size_t p) { SummarisePiece(g, g.pieces[p], table.data()); });
  UniteBounds(g);
}

std::vector<bool> TouchedPieces(const Geometry& g, const std::vector<ArrayRange>& changed) {
  std::vector<bool> touched(g.pieces.size(), false);
  const std::size_t triangles = g.triangleCount();
  for (const ArrayRange& r : changed) {
    if (r.count == 0) continue;
    if (r.array == GeometryArray::kIndices) {
      const std::size_t from = r.first / 3, to = (r.first + r.count - 1) / 3;
      if (from >= triangles || g.pieces.empty()) continue;
      for (std::size_t p = PieceOf(g, from); p < touched.size() && g.pieces[p].firstTriangle <= to; ++p)
        touched[p] = true;
      continue;
    }
    const std::size_t per = r.array == GeometryArray::kTexCoords ? 2 : 3;
    const std::size_t low = r.first / per, high = (r.first + r.count - 1) / per;
    for (std::size_t p = 0; p < touched.size(); ++p)
      if (g.pieces[p].firstVertex <= high && g.pieces[p].lastVertex >= low) touched[p] = true;
  }
  return touched;
}

void ResummarisePieces(Geometry& g, const std::vector<ArrayRange>& changed) {
  if (!PiecesCover(g)) return SummarisePieces(g);
  // The pieces as they were tell which ones used a changed vertex; a piece
  // whose own indices changed is re-derived in any case. A few pieces use
  // few vertices, which are digested where they are met.
  const std::vector<bool> touched = TouchedPieces(g, changed);
  std::vector<std::size_t> due;
  for (std::size_t p = 0; p < touched.size(); ++p)
    if (touched[p]) due.push_back(p);
  if (due.size() == g.pieces.size()) return SummarisePieces(g);  // each vertex digested once, then
  base::ParallelFor(due.size(), [&](std::size_t k) { SummarisePiece(g, g.pieces[due[k]], nullptr); });
  UniteBounds(g);
}

void SummariseBetween(Geometry& g, std::vector<GeometryPiece> front, std::vector<GeometryPiece> back) {
  const std::size_t from = front.empty() ? 0 : front.back().firstTriangle + front.back().triangles;
  const std::size_t to = back.empty() ? g.triangleCount() : back.front().firstTriangle;
  const std::size_t kept = front.size();
  g.pieces = std::move(front);
  CutPieces(from, std::max(from, to), g.pieces);
  const std::size_t made = g.pieces.size() - kept;
  g.pieces.insert(g.pieces.end(), back.begin(), back.end());
  base::ParallelFor(made, [&](std::size_t k) { SummarisePiece(g, g.pieces[kept + k], nullptr); });
  UniteBounds(g);
}

Bounds Scene::ComputeBounds() const {
  Bounds bounds;
  for (const Surface& surface : surfaces)
    if (surface.geometry) bounds.Add(surface.geometry->bounds);
  return bounds;
}

std::size_t Scene::VertexCount() const {
  std::size_t n = 0;
  for (const Surface& surface : surfaces)
    if (surface.geometry) n += surface.geometry->vertexCount();
  return n;
}

std::size_t Scene::TriangleCount() const {
  std::size_t n = 0;
  for (const Surface& surface : surfaces)
    if (surface.geometry) n += surface.geometry->triangleCount();
  return n;
}

std::size_t Scene::TextureCount() const {
  return static_cast<std::size_t>(
      std::count_if(surfaces.begin(), surfaces.end(), [](const Surface& s) { return s.texture != nullptr; }));
}

}  // namespace velmar
