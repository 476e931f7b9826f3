// A module is a DLL found by its path; its own imports (the host's DLLs
// beside the host program, the system's) are searched beside the module
// first, as an installed add-on's would be.
#include "module_loader.h"

#include "base/utf.h"
#include "base/windows_text.h"

namespace host {
namespace {
std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = "error " + std::to_string(code);
  if (n > 0 && text != nullptr) {
    std::wstring message(text, n);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
      message.pop_back();
    out += " (" + base::ToUtf8(base::FromWide(message)) + ")";
  }
  if (text != nullptr) LocalFree(text);
  return out;
}
}  // namespace

void* LoadModule(const std::string& path, std::string* error) {
  const std::wstring wide = base::ToWide(base::FromUtf8(path));
  HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) *error = "cannot load the add-on module: " + SystemMessage(GetLastError());
  return module;
}

void* ModuleSymbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void UnloadModule(void* module) {
  if (module != nullptr) FreeLibrary(static_cast<HMODULE>(module));
}

}  // namespace host
