// Modules are DLLs: the image is the module's RCDATA resource named
// CORVRESOURCES, so a module exports nothing but the loader's entry points.
#include "module_image.h"

#include "base/utf.h"
#include "base/windows_text.h"
#include "resc/embedded.h"

namespace host::ui {
namespace {
std::string LastErrorText() { return "error " + std::to_string(GetLastError()); }
}  // namespace

bool OpenModuleImage(const std::string& path, ModuleImage* out, std::string* error) {
  const std::wstring wide = base::ToWide(base::FromUtf8(path));
  // A module already loaded (the add-on opening its own resources as it
  // loads, say) is used without a reference; any other is loaded.
  HMODULE module = nullptr;
  bool owned = false;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, wide.c_str(), &module)) {
    module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    owned = true;
  }
  if (!module) {
    if (error) *error = "cannot load " + path + ": " + LastErrorText();
    return false;
  }
  auto release = [&] {
    if (owned) FreeLibrary(module);
  };
  HRSRC found = FindResourceW(module, base::WideText(resc::kResourceName), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes) {
    release();
    if (error) *error = path + ": the module carries no resources";
    return false;
  }
  const DWORD size = SizeofResource(module, found);
  if (size == 0 || size > kMaxResourceImage) {
    release();
    if (error) *error = path + ": resource image size is damaged";
    return false;
  }
  out->handle = module;
  out->owned = owned;
  out->image = std::string_view(static_cast<const char*>(bytes), size);
  return true;
}

void CloseModuleImage(const ModuleImage& module) {
  if (module.handle && module.owned) FreeLibrary(static_cast<HMODULE>(module.handle));
}

}  // namespace host::ui
