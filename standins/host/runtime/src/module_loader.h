// Loading an add-on module and finding its entry points: dlopen on Linux,
// LoadLibraryW on Windows. The host calls nothing else of the system to
// load a module.
#pragma once

#include <string>

namespace host {

// The loaded module, or null with *error saying why ("cannot load the
// add-on module: ..."). All of the module's imports are bound now, so a
// module that cannot run never gets as far as its first entry point.
[[nodiscard]] void* LoadModule(const std::string& path, std::string* error);
// The exported function of that name, or null.
[[nodiscard]] void* ModuleSymbol(void* module, const char* name);
// Unloads the module; its static destructors run now.
void UnloadModule(void* module);

}  // namespace host
