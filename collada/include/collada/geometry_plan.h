// Which mesh groups make which geometry of a document. A document holds one
// geometry per material, named by the material's id; mesh keys that resolve
// to the same material (key 0, the default material's own key and keys the
// library does not hold all give the default material) are merged into one
// geometry, so that no two geometries of a document carry the same id.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace collada {

struct PlannedGeometry {
  std::uint64_t materialKey = 0;    // the key of the material all keys resolve to
  std::vector<std::uint64_t> keys;  // the mesh keys merged into it, ascending
};

// Groups keys by the material key resolve gives them. The result is ordered
// by material key and each key appears once (duplicates in keys are
// dropped).
std::vector<PlannedGeometry> PlanGeometries(std::vector<std::uint64_t> keys,
                                            const std::function<std::uint64_t(std::uint64_t)>& resolve);

}  // namespace collada
