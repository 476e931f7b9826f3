// Icons on Linux: a handle names the module's image it shows; the host's
// window calls read the resource id back from it.
#include "impl.h"

using host::ui::I;
using host::ui::U;

HICON RSLoadIcon(GSResModule module, short iconId, int size) {
  const auto* res = U().Resources(module);
  if (!res || !res->icons.count(iconId) || size < 0) return nullptr;
  auto* icon = new HICON__{module, iconId, size};
  I().icons.insert(icon);
  return icon;
}

bool DestroyIcon(HICON icon) {
  if (!I().icons.erase(icon)) return false;  // unknown or released twice: nothing to free
  delete icon;
  return true;
}

short RSIconId(HICON icon) { return I().icons.count(icon) ? icon->id : 0; }
