#include "scene.h"

#include <algorithm>
#include <cmath>

namespace velmar {

void Bounds::Add(const float* p) {
  if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) return;
  for (int i = 0; i < 3; ++i) {
    min[i] = empty ? p[i] : std::min(min[i], p[i]);
    max[i] = empty ? p[i] : std::max(max[i], p[i]);
  }
  empty = false;
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
