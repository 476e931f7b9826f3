// Surface types of materials: what the renderer does with a surface beyond
// its colour. Only water and glass are assigned from host materials; the
// other numbers exist on the link and in the export.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace scene {

enum SurfaceType : std::int32_t {
  kSurfaceNone = 0,
  kSurfaceWater = 1,
  kSurfaceGlass = 2,
  kSurfaceLandscape = 3,
  kSurfaceStandard = 4,
  kSurfaceColor = 5,
  kSurfaceBillboard = 6,
  kSurfaceInvisible = 7,
  kSurfaceLightmap = 8,
  kSurfaceWaterfall = 9,
};

// "water", "glass", ... for 1 to 9; fallback for anything else (0 included).
const char* SurfaceTypeName(std::int32_t type, const char* fallback);

// Whether a (sanitised) material name names glass or water, in any of the
// languages the host ships in; case-insensitive under C.UTF-8.
bool IsGlassName(std::u16string_view name);
bool IsWaterName(std::u16string_view name);

// The surface type of a material from its sanitised name, its opacity and
// the host material type (5 is glass whatever the name says).
std::int32_t ClassifySurface(std::u16string_view name, float opacity, std::int32_t hostMaterialType);

}  // namespace scene
