// Welding of finished meshes.
#include "scene/weld_mesh.h"

#include "base/parallel_for.h"

#include <cstring>
#include <utility>
#include <vector>

#include "scene/mesh_info.h"
#include "util/hash.h"
#include "weld_mesh_table.h"

namespace scene {

namespace {

// The 32 attribute bytes of vertex k: position, normal, texture coordinate.
WeldAttributes AttributesOf(const MeshInfo& mesh, std::size_t k) {
  WeldAttributes a;
  std::memcpy(a.f, &mesh.positions[3 * k], 12);
  std::memcpy(a.f + 3, &mesh.normals[3 * k], 12);
  std::memcpy(a.f + 6, &mesh.texCoords[2 * k], 8);
  return a;
}

// Loops over n vertices, in parallel when there are enough of them to pay
// for the tasks.
template <typename Fn>
void ForEachVertex(std::size_t n, Fn&& fn) {
  if (n < 8192) {
    for (std::size_t k = 0; k < n; ++k) fn(k);
    return;
  }
  base::ParallelFor(n, fn);
}

bool Weldable(const MeshInfo& mesh) {
  const std::size_t u = static_cast<std::size_t>(mesh.vertexCount > 0 ? mesh.vertexCount : 0);
  return mesh.indexCount >= 2 && u > 0 && mesh.positions.size() >= 3 * u && mesh.normals.size() >= 3 * u &&
         mesh.texCoords.size() >= 2 * u;
}

// Gives the mesh its welded vertex arrays (n vertices) and renumbers its
// indices through the remap; indices past it are left for the checks.
void Replace(MeshInfo& mesh, std::vector<float> positions, std::vector<float> normals, std::vector<float> texCoords,
             const std::vector<std::uint32_t>& remap, std::size_t n) {
  for (std::uint32_t& index : mesh.indices) {
    if (index < remap.size()) index = remap[index];
  }
  mesh.positions = std::move(positions);
  mesh.normals = std::move(normals);
  mesh.texCoords = std::move(texCoords);
  mesh.vertexCount = static_cast<std::int32_t>(n);
}

// Rebuilds the mesh from the kept vertices (in order) and the remap.
void Apply(MeshInfo& mesh, const std::vector<std::uint32_t>& kept, const std::vector<std::uint32_t>& remap) {
  const std::size_t n = kept.size();
  std::vector<float> positions(3 * n), normals(3 * n), texCoords(2 * n);
  ForEachVertex(n, [&](std::size_t i) {
    const std::size_t k = kept[i];
    std::memcpy(&positions[3 * i], &mesh.positions[3 * k], 12);
    std::memcpy(&normals[3 * i], &mesh.normals[3 * k], 12);
    std::memcpy(&texCoords[2 * i], &mesh.texCoords[2 * k], 8);
  });
  Replace(mesh, std::move(positions), std::move(normals), std::move(texCoords), remap, n);
}

}  // namespace

std::size_t WeldMesh(MeshInfo& mesh) {
  if (!Weldable(mesh)) return 0;
  const std::size_t u = static_cast<std::size_t>(mesh.vertexCount);

  // Walking the vertices in order makes every vertex map to the first
  // vertex equal to it, as the quadratic walk does.
  std::vector<WeldAttributes> distinct;
  distinct.reserve(u);
  WeldTable table;
  table.Reset(u);
  std::vector<std::uint32_t> remap(u);
  for (std::size_t i = 0; i < u; ++i) remap[i] = table.Add(AttributesOf(mesh, i), distinct);
  const std::size_t n = distinct.size();
  if (n == u) return 0;

  std::vector<float> positions(3 * n), normals(3 * n), texCoords(2 * n);
  for (std::size_t k = 0; k < n; ++k) {
    std::memcpy(&positions[3 * k], distinct[k].f, 12);
    std::memcpy(&normals[3 * k], distinct[k].f + 3, 12);
    std::memcpy(&texCoords[2 * k], distinct[k].f + 6, 8);
  }
  Replace(mesh, std::move(positions), std::move(normals), std::move(texCoords), remap, n);
  return u - n;
}

std::uint64_t DescriptionWeldKey(const float* position, const float* normal, const float* texCoord) {
  auto digest = [](const float* values, std::size_t bytes) {
    std::uint8_t out[8];
    util::HashData(reinterpret_cast<const std::uint8_t*>(values), bytes, out, 8);
    std::uint64_t h;
    std::memcpy(&h, out, 8);
    return h;
  };
  return (31 * digest(position, 12)) ^ (31 * digest(normal, 12)) ^ (31 * digest(texCoord, 8));
}

std::size_t WeldMeshByKeysQuadratic(MeshInfo& mesh) {
  if (!Weldable(mesh)) return 0;
  const std::size_t u = static_cast<std::size_t>(mesh.vertexCount);
  std::vector<std::uint64_t> keys(u);
  ForEachVertex(u, [&](std::size_t k) {
    keys[k] = DescriptionWeldKey(&mesh.positions[3 * k], &mesh.normals[3 * k], &mesh.texCoords[2 * k]);
  });
  constexpr std::uint32_t kUnset = 0xFFFFFFFFu;
  std::vector<std::uint32_t> remap(u, kUnset);
  std::vector<std::uint32_t> kept;
  std::size_t merges = 0;
  for (std::size_t i = 0; i < u; ++i) {
    if (remap[i] != kUnset) continue;
    remap[i] = static_cast<std::uint32_t>(kept.size());
    kept.push_back(static_cast<std::uint32_t>(i));
    for (std::size_t j = i + 1; j < u; ++j) {
      if (remap[j] == kUnset && keys[j] == keys[i]) {
        remap[j] = remap[i];
        ++merges;
      }
    }
  }
  if (merges == 0) return 0;
  Apply(mesh, kept, remap);
  return merges;
}

}  // namespace scene
