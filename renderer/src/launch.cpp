// Starting the installed renderer.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "base/utf.h"
#include "platform/win32.h"
#include "renderer/renderer.h"
#include "renderer/uninstall_list.h"
#include "util/text.h"

namespace renderer {

std::u16string RendererLogPath() {
  const std::string folder = platform::RuntimeDirectory();
  return folder.empty() ? std::u16string() : base::FromUtf8(folder + "/" + base::ToUtf8(kRendererLogName));
}

namespace {

// A log that grew past this is moved to "<log>.old" (replacing the one
// before) when the next renderer starts, so that it never grows without end.
constexpr off_t kLogLimit = off_t{4} << 20;

std::u16string StartedRendererLog() {
  const std::u16string log = RendererLogPath();
  if (log.empty()) return {};
  const std::string narrow = base::ToUtf8(log);
  struct stat st {};
  if (::lstat(narrow.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > kLogLimit) {
    std::rename(narrow.c_str(), (narrow + ".old").c_str());
  }
  return log;
}

}  // namespace

bool LaunchRenderer(std::u16string version) {
  std::u16string location;
  ForEachInstalledRenderer([&](const InstalledEntry& entry) {
    if (CleanVersion(entry.displayVersion) == version) location = entry.installLocation;
  });
  if (location.empty()) return false;
  struct stat st {};
  if (stat(base::ToUtf8(location).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // The location is a folder: without a separator the executable's name
  // would be glued to the folder's own name.
  std::u16string program = location;
  if (program.back() != u'/') program.push_back(u'/');
  program += kRendererExecutable;
  // The renderer is a program of its own, not a part of the host: it must not
  // read the host's input, write into the host's output or keep the host's
  // terminal (or a pipe the host writes into) open after the host is gone.
  DWORD pid = 0;
  return platform::StartDetachedProcess(program, {}, location, /*maximised=*/true, StartedRendererLog(), &pid);
}

}  // namespace renderer
