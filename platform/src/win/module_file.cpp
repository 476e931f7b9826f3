// Which loaded module holds an address: the module the system finds for it,
// without taking a reference (a module asking about itself while it loads
// or unloads must not keep itself loaded).
#include "platform/win32.h"

#include "base/utf.h"

namespace platform {

std::string ModuleFileOf(const void* address) {
  HMODULE module = nullptr;
  if (address == nullptr ||
      !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module))
    return "";
  std::wstring name(32768, L'\0');
  const DWORD n = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
  if (n == 0 || n >= name.size()) return "";
  name.resize(n);
  return base::ToUtf8(base::FromWide(name));
}

}  // namespace platform
