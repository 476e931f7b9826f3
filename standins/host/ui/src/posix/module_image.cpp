// Modules are ELF shared objects: the image is the exported array the
// resource compiler wrote, with its size beside it.
#include "module_image.h"

#include <dlfcn.h>

#include "resc/embedded.h"

namespace host::ui {

bool OpenModuleImage(const std::string& path, ModuleImage* out, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (!handle) handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (!handle) {
    if (error) *error = std::string("cannot load ") + path + ": " + dlerror();
    return false;
  }
  auto* image = static_cast<const char*>(dlsym(handle, resc::kImageSymbolName));
  auto* size = static_cast<const unsigned long long*>(dlsym(handle, resc::kSizeSymbolName));
  if (!image || !size) {
    dlclose(handle);
    if (error) *error = path + ": the module carries no resources";
    return false;
  }
  // The image is NUL-terminated by the compiler; the size symbol must agree.
  if (*size > kMaxResourceImage || image[*size] != '\0') {
    dlclose(handle);
    if (error) *error = path + ": resource image size is damaged";
    return false;
  }
  out->handle = handle;
  out->image = std::string_view(image, static_cast<std::size_t>(*size));
  return true;
}

void CloseModuleImage(const ModuleImage& module) {
  if (module.handle && module.owned) dlclose(module.handle);
}

}  // namespace host::ui
