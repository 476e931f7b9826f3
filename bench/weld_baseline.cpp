#include "weld_baseline.h"

#include <cstring>
#include <vector>

#include "scene/mesh_info.h"
#include "util/hash.h"

namespace weld_baseline {

std::uint64_t WeldKey(const float* position, const float* normal, const float* texCoord) {
  auto digest = [](const float* values, std::size_t bytes) {
    std::uint8_t out[8];
    util::HashData(reinterpret_cast<const std::uint8_t*>(values), bytes, out, 8);
    std::uint64_t h;
    std::memcpy(&h, out, 8);
    return h;
  };
  return (31 * digest(position, 12)) ^ (31 * digest(normal, 12)) ^ (31 * digest(texCoord, 8));
}

std::size_t WeldByKeysQuadratic(scene::MeshInfo& mesh) {
  const std::size_t u = static_cast<std::size_t>(mesh.vertexCount > 0 ? mesh.vertexCount : 0);
  if (mesh.indexCount < 2 || u == 0 || mesh.positions.size() < 3 * u || mesh.normals.size() < 3 * u ||
      mesh.texCoords.size() < 2 * u) {
    return 0;
  }
  std::vector<std::uint64_t> keys(u);
  for (std::size_t k = 0; k < u; ++k) {
    keys[k] = WeldKey(&mesh.positions[3 * k], &mesh.normals[3 * k], &mesh.texCoords[2 * k]);
  }
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

  const std::size_t n = kept.size();
  std::vector<float> positions(3 * n), normals(3 * n), texCoords(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = kept[i];
    std::memcpy(&positions[3 * i], &mesh.positions[3 * k], 12);
    std::memcpy(&normals[3 * i], &mesh.normals[3 * k], 12);
    std::memcpy(&texCoords[2 * i], &mesh.texCoords[2 * k], 8);
  }
  for (std::uint32_t& index : mesh.indices) {
    if (index < remap.size()) index = remap[index];
  }
  mesh.positions = std::move(positions);
  mesh.normals = std::move(normals);
  mesh.texCoords = std::move(texCoords);
  mesh.vertexCount = static_cast<std::int32_t>(n);
  return merges;
}

}  // namespace weld_baseline
