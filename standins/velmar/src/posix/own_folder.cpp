#include <unistd.h>

#include <climits>

#include "base/utf.h"
#include "velmar_install.h"

namespace velmar {

std::u16string OwnFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string text(path, static_cast<std::size_t>(n));
  const auto slash = text.rfind('/');
  if (slash == std::string::npos) return {};
  return base::FromUtf8(text.substr(0, slash + 1));
}

}  // namespace velmar
