// The machine's installed-program list as the renderer search reads it.
#pragma once

#include <functional>
#include <string>

namespace renderer {

struct InstalledEntry {
  std::u16string displayName;
  std::u16string displayVersion;   // as stored (not cleaned)
  std::u16string installLocation;  // empty when the entry has none
};

// Calls visit for every entry of the list whose DisplayName contains
// "Velmar", in enumeration order. Entries that cannot be opened or read are
// skipped; nothing is visited when the list cannot be opened.
void ForEachInstalledRenderer(const std::function<void(const InstalledEntry&)>& visit);

}  // namespace renderer
