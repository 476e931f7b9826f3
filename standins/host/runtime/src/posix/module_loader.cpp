#include "module_loader.h"

#include <dlfcn.h>

namespace host {

void* LoadModule(const std::string& path, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = std::string("cannot load the add-on module: ") + (why != nullptr ? why : "unknown error");
  }
  return handle;
}

void* ModuleSymbol(void* module, const char* name) { return dlsym(module, name); }

void UnloadModule(void* module) {
  if (module != nullptr) dlclose(module);
}

}  // namespace host
