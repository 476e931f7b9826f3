#include "platform/win32.h"
#include "velmar_install.h"

namespace velmar {

std::u16string OwnFolder() {
  // Paths of up to 32767 units; a buffer filled to its end was cut short.
  std::u16string path(32768, u'\0');
  const DWORD n = GetModuleFileNameW(nullptr, base::WideText(path.data()), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return {};
  path.resize(n);
  const auto separator = path.find_last_of(u"\\/");
  if (separator == std::u16string::npos) return {};
  return path.substr(0, separator + 1);
}

}  // namespace velmar
