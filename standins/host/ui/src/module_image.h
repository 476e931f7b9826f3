// A loaded add-on module seen from the host's user interface: the module
// loaded (or found already loaded) and its compiled resource image. Each platform keeps the image its own
// way: two exported symbols in an ELF module, an RCDATA resource in a DLL.
#pragma once

#include <string>
#include <string_view>

namespace host::ui {

struct ModuleImage {
  void* handle = nullptr;  // released with CloseModuleImage
  std::string_view image;  // the resource image, valid while the module is loaded
  // Whether handle holds a reference of its own. A DLL opening its own
  // resources while it loads holds none: a reference to itself would keep
  // it loaded forever (its destructor gives the reference back).
  bool owned = true;
};

// Loads the module at path, or takes another reference to it when it is
// loaded already (a module opening its own resources while it loads must not
// be loaded twice). On failure returns false with *error saying why
// ("cannot load ...", "... carries no resources", "... size is damaged") and
// holds nothing.
[[nodiscard]] bool OpenModuleImage(const std::string& path, ModuleImage* out, std::string* error);

// Drops the reference OpenModuleImage took, if it took one.
void CloseModuleImage(const ModuleImage& module);

// The largest resource image a module may carry.
inline constexpr unsigned long long kMaxResourceImage = 64ull << 20;

}  // namespace host::ui
