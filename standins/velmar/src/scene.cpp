#include "scene.h"

#include <algorithm>
#include <cmath>

#include "base/parallel_for.h"

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

void SummarisePiece(Geometry& g, std::size_t p) {
  const std::size_t first = p * kPieceTriangles * 3;
  const std::size_t last = std::min(g.indices.size() / 3 * 3, first + kPieceTriangles * 3);
  GeometryPiece piece;
  std::uint32_t low = UINT32_MAX, high = 0;
  const std::size_t vertices = g.vertexCount();
  for (std::size_t i = first; i < last; ++i) {
    const std::uint32_t v = g.indices[i];
    if (v >= vertices) continue;
    low = std::min(low, v);
    high = std::max(high, v);
    piece.bounds.Add(&g.positions[std::size_t{v} * 3]);
  }
  piece.firstVertex = low;
  piece.lastVertex = high;
  g.pieces[p] = piece;
}

void UniteBounds(Geometry& g) {
  g.bounds = Bounds();
  for (const GeometryPiece& piece : g.pieces) g.bounds.Add(piece.bounds);
}

std::size_t PieceCount(const Geometry& g) { return (g.triangleCount() + kPieceTriangles - 1) / kPieceTriangles; }

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

void SummarisePieces(Geometry& g) {
  g.pieces.assign(PieceCount(g), GeometryPiece());
  base::ParallelFor(g.pieces.size(), [&g](std::size_t p) { SummarisePiece(g, p); });
  UniteBounds(g);
}

std::vector<bool> TouchedPieces(const Geometry& g, const std::vector<ArrayRange>& changed) {
  std::vector<bool> touched(g.pieces.size(), false);
  for (const ArrayRange& r : changed) {
    if (r.count == 0) continue;
    if (r.array == GeometryArray::kIndices) {
      const std::size_t from = r.first / 3 / kPieceTriangles, to = (r.first + r.count - 1) / 3 / kPieceTriangles;
      for (std::size_t p = from; p <= to && p < touched.size(); ++p) touched[p] = true;
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
  if (g.pieces.size() != PieceCount(g)) return SummarisePieces(g);
  // The pieces as they were tell which ones used a changed vertex; a piece
  // whose own indices changed is re-derived in any case.
  const std::vector<bool> touched = TouchedPieces(g, changed);
  for (std::size_t p = 0; p < touched.size(); ++p)
    if (touched[p]) SummarisePiece(g, p);
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
  return static_cast<std::size_t>(std::count_if(surfaces.begin(), surfaces.end(),
                                                [](const Surface& s) { return s.texture != nullptr; }));
}

}  // namespace velmar
