#include "scene/surface_type.h"

#include <array>

#include "base/case_map.h"
#include "util/text.h"

namespace scene {
namespace {

constexpr std::array<std::u16string_view, 12> kGlassWords = {u"glass",  u"vidrio", u"verre", u"vetro",
                                                             u"стекло", u"玻璃",   u"vidro", u"ガラス",
                                                             u"유리",   u"garasu", u"glas",  u"szkło"};

constexpr std::array<std::u16string_view, 11> kWaterWords = {u"water", u"agua", u"wasser", u"acqua", u"vatten", u"вода",
                                                             u"水",    u"água", u"물",     u"mizu",  u"woda"};

// A unit of a regular-expression word (\w): a letter or digit (base's
// character classes: C.UTF-8 on Linux, the invariant locale on Windows), or
// the underscore. The process locale is never consulted.
bool IsWordUnit(char16_t c) { return c == u'_' || base::IsAlnumUnit(c); }

}  // namespace

const char* SurfaceTypeName(std::int32_t type, const char* fallback) {
  static constexpr const char* kNames[] = {"water",     "glass",     "landscape", "standard", "color",
                                           "billboard", "invisible", "lightmap",  "waterfall"};
  if (type < 1 || type > 9) return fallback;
  return kNames[type - 1];
}

bool IsGlassName(std::u16string_view name) {
  for (auto word : kGlassWords)
    if (util::ContainsNoCase(name, word)) return true;
  return false;
}

bool IsWaterName(std::u16string_view name) {
  for (auto word : kWaterWords)
    if (util::ContainsNoCase(name, word)) return true;
  // "eau" counts only as a word of its own: "Eau de mer", not "Plateau".
  if (!util::ContainsNoCase(name, u"eau")) return false;
  std::size_t i = 0;
  while (i < name.size()) {
    if (!IsWordUnit(name[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < name.size() && IsWordUnit(name[end])) ++end;
    if (end - i == 3 && util::ContainsNoCase(name.substr(i, 3), u"eau")) return true;
    i = end;
  }
  return false;
}

std::int32_t ClassifySurface(std::u16string_view name, float opacity, std::int32_t hostMaterialType) {
  std::int32_t type = kSurfaceNone;
  if (IsWaterName(name)) type = kSurfaceWater;
  else if (IsGlassName(name) && opacity != 1.0f) type = kSurfaceGlass;
  if (hostMaterialType == 5) type = kSurfaceGlass;
  return type;
}

}  // namespace scene
