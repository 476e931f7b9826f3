// One geometry per material: mesh keys that the library resolves to the same
// material share one geometry (and so one id), whatever keys they are.
#include "collada/geometry_plan.h"

#include <gtest/gtest.h>

#include <set>

namespace {

constexpr std::uint64_t kDefault = 0xFFFFFFFFFFFFFFFFull;

TEST(GeometryPlan, KeysOfTheDefaultMaterialMergeAndKnownKeysStayApart) {
  // The library holds 0x2A and 0x10000002A (same low 32 bits); 0, 7 and
  // the default's own key all resolve to the default material.
  const std::set<std::uint64_t> held = {0x2A, 0x10000002A};
  auto resolve = [&](std::uint64_t key) { return held.count(key) != 0 ? key : kDefault; };
  const auto plan = collada::PlanGeometries({7, 0x10000002A, 0, kDefault, 0x2A, 7}, resolve);

  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0].materialKey, 0x2Au);
  EXPECT_EQ(plan[0].keys, (std::vector<std::uint64_t>{0x2A}));
  EXPECT_EQ(plan[1].materialKey, 0x10000002Au);
  EXPECT_EQ(plan[2].materialKey, kDefault);
  EXPECT_EQ(plan[2].keys, (std::vector<std::uint64_t>{0, 7, kDefault}));  // ids: the export's golden
}

}  // namespace
