// Starting the installed renderer.
#include <sys/stat.h>

#include "platform/win32.h"
#include "renderer/renderer.h"
#include "renderer/uninstall_list.h"
#include "util/text.h"

namespace renderer {

bool LaunchRenderer(std::u16string version) {
  std::u16string location;
  ForEachInstalledRenderer([&](const InstalledEntry& entry) {
    if (CleanVersion(entry.displayVersion) == version) location = entry.installLocation;
  });
  if (location.empty()) return false;
  struct stat st {};
  if (stat(util::ToUtf8(location).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // The location is a folder: without a separator the executable's name
  // would be glued to the folder's own name.
  std::u16string program = location;
  if (program.back() != u'/') program.push_back(u'/');
  program += kRendererExecutable;
  DWORD pid = 0;
  return platform::StartProcess(program, {}, location, /*maximised=*/true, &pid);
}

}  // namespace renderer
