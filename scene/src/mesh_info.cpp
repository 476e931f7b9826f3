// Construction and bookkeeping of the builder's records.
#include "scene/mesh_info.h"

#include <algorithm>

namespace scene {

PolygonData::PolygonData(std::int32_t polygonCount) {
  const std::size_t p = polygonCount > 0 ? static_cast<std::size_t>(polygonCount) : 0;
  cornerCounts.reserve(2 * p);
  corners.reserve(10 * p);
}

void PolygonData::Trim() {
  if (!cornerTexCoords.empty()) cornerTexCoords.resize(corners.size());
  if (!cornerNormals.empty()) cornerNormals.resize(corners.size());
  flatNormals.shrink_to_fit();
  cornerCounts.shrink_to_fit();
  corners.shrink_to_fit();
  cornerTexCoords.shrink_to_fit();
  cornerNormals.shrink_to_fit();
}

MeshInfo::MeshInfo(BodyInfo* owner, std::uint64_t key, bool smoothShaded, std::int32_t polygonCount)
    : body(owner),
      materialKey(key),
      polygons(std::make_unique<PolygonData>(polygonCount)),
      doubleSided(owner != nullptr && owner->doubleSided),
      smooth(smoothShaded) {
  // flatNormals are reserved only for flat meshes: a smooth mesh never
  // fills them.
  if (!smooth) polygons->flatNormals.reserve(10 * static_cast<std::size_t>(polygonCount > 0 ? polygonCount : 0));
  if (owner != nullptr) owner->meshes.emplace_back(this);
}

std::size_t MeshInfo::GeometryBytes() const {
  return indices.size() * sizeof(std::uint32_t) +
         (positions.size() + normals.size() + texCoords.size()) * sizeof(float) + normalOf.size();
}

bool MeshInfo::NormalsCover(std::size_t vertices) const {
  if (normalOf.empty()) return normals.size() >= 3 * vertices;
  if (normalOf.size() < vertices) return false;
  const std::size_t entries = normals.size() / 3;
  return std::all_of(normalOf.begin(), normalOf.begin() + static_cast<std::ptrdiff_t>(vertices),
                     [entries](std::uint8_t e) { return e < entries; });
}

bool BodyInfo::UsesMaterial(std::uint64_t key) const {
  return std::find(materialKeys.begin(), materialKeys.end(), key) != materialKeys.end();
}

}  // namespace scene
