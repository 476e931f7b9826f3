// Welding of finished meshes.
#include "scene/weld_mesh.h"

#include <cstring>
#include <utility>
#include <vector>

#include "scene/mesh_info.h"
#include "weld_mesh_table.h"

namespace scene {

namespace {

// The 32 attribute bytes of vertex k: position, normal, texture coordinate.
WeldAttributes AttributesOf(const MeshInfo& mesh, std::size_t k) {
  WeldAttributes a;
  std::memcpy(a.f, &mesh.positions[3 * k], 12);
  std::memcpy(a.f + 3, mesh.NormalOf(k), 12);
  if (mesh.HoldsTexCoords()) {
    std::memcpy(a.f + 6, &mesh.texCoords[2 * k], 8);
  } else {
    std::memcpy(a.f + 6, &MeshInfo::kPlainTexCoord, 8);
  }
  return a;
}

bool Weldable(const MeshInfo& mesh) {
  const std::size_t u = static_cast<std::size_t>(mesh.vertexCount > 0 ? mesh.vertexCount : 0);
  return mesh.indexCount >= 2 && u > 0 && mesh.positions.size() >= 3 * u && mesh.NormalsCover(u) &&
         (!mesh.HoldsTexCoords() || mesh.texCoords.size() >= 2 * u);
}

// Gives the mesh its welded vertex arrays (n vertices) and renumbers its
// indices through the remap; indices past it are left for the checks.
void Replace(MeshInfo& mesh, std::vector<float> positions, std::vector<float> normals, std::vector<float> texCoords,
             const std::vector<std::uint32_t>& remap, std::size_t n) {
  for (std::uint32_t& index : mesh.indices) {
    if (index < remap.size()) index = remap[index];
  }
  mesh.positions = std::move(positions);
  mesh.normals = std::move(normals);  // one per vertex again
  mesh.normalOf.clear();
  mesh.texCoords = std::move(texCoords);
  mesh.vertexCount = static_cast<std::int32_t>(n);
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

  const bool textured = mesh.HoldsTexCoords();
  std::vector<float> positions(3 * n), normals(3 * n), texCoords(textured ? 2 * n : 0);
  for (std::size_t k = 0; k < n; ++k) {
    std::memcpy(&positions[3 * k], distinct[k].f, 12);
    std::memcpy(&normals[3 * k], distinct[k].f + 3, 12);
    if (textured) std::memcpy(&texCoords[2 * k], distinct[k].f + 6, 8);
  }
  Replace(mesh, std::move(positions), std::move(normals), std::move(texCoords), remap, n);
  return u - n;
}

}  // namespace scene
