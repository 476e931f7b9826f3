// Which loaded module holds an address: the dynamic loader's own record.
#include <dlfcn.h>

#include "platform/win32.h"

namespace platform {

std::string ModuleFileOf(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

}  // namespace platform
