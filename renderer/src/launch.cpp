// Starting the installed renderer. The same code on both platforms: the
// folder check is the platform's GetFileAttributesW, the log's size and its
// move std::filesystem's (UTF-16 paths, so Windows names are never narrowed
// to the ANSI code page).
#include <cstdint>
#include <filesystem>
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
constexpr std::uintmax_t kLogLimit = std::uintmax_t{4} << 20;

std::u16string StartedRendererLog() {
  namespace fs = std::filesystem;
  std::u16string log = RendererLogPath();
  if (log.empty()) return {};
  const fs::path path(log);
  std::error_code ec;
  // A link in the log's place is left alone: only our own file moves.
  if (fs::is_regular_file(fs::symlink_status(path, ec))) {
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > kLogLimit) fs::rename(path, fs::path(log + u".old"), ec);
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
  const DWORD attributes = GetFileAttributesW(location.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
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
