#include "collada/geometry_plan.h"

#include <algorithm>
#include <map>

namespace collada {

std::vector<PlannedGeometry> PlanGeometries(std::vector<std::uint64_t> keys,
                                            const std::function<std::uint64_t(std::uint64_t)>& resolve) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::map<std::uint64_t, std::vector<std::uint64_t>> byMaterial;
  for (std::uint64_t key : keys) byMaterial[resolve(key)].push_back(key);
  std::vector<PlannedGeometry> plan;
  plan.reserve(byMaterial.size());
  for (auto& [material, merged] : byMaterial) plan.push_back({material, std::move(merged)});
  return plan;
}

}  // namespace collada
