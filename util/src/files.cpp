#include "util/files.h"

#ifdef _WIN32
#include "base/windows_text.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "base/file_time.h"
#include "base/utf.h"
#include "util/text.h"

namespace util {
namespace {

// A NUL inside the text would silently name another, shorter path.
bool ValidPath(const std::u16string& path) { return !path.empty() && path.find(u'\0') == std::u16string::npos; }

}  // namespace

bool IsPathSeparator(char16_t c) {
#ifdef _WIN32
  return c == u'/' || c == u'\\';
#else
  return c == u'/';
#endif
}

std::size_t LastPathSeparator(std::u16string_view path) {
  for (std::size_t i = path.size(); i > 0; --i)
    if (IsPathSeparator(path[i - 1])) return i - 1;
  return std::u16string_view::npos;
}

#ifdef _WIN32
bool FileExists(const std::u16string& path) {
  if (!ValidPath(path)) return false;
  const DWORD attributes = GetFileAttributesW(base::WideText(path.c_str()));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::uint64_t GetFileTimeStamp(const std::u16string& path, std::int32_t which) {
  if (!ValidPath(path)) return 0;
  // Opened for reading, as on Linux; a folder cannot be opened this way.
  HANDLE file =
      CreateFileW(base::WideText(path.c_str()), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  FILETIME created{}, accessed{}, written{};
  const BOOL ok = GetFileTime(file, &created, &accessed, &written);
  CloseHandle(file);
  if (!ok) return 0;
  const FILETIME& t = which == 0 ? created : which == 1 ? accessed : written;
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
#else
namespace {
bool ToPath(const std::u16string& path, std::string& out) {
  if (!ValidPath(path)) return false;
  out = base::ToUtf8(path);
  return true;
}
std::uint64_t ToFileTime(const struct statx_timestamp& t) { return base::FileTimeFromUnix(t.tv_sec, t.tv_nsec); }
}  // namespace

bool FileExists(const std::u16string& path) {
  std::string p;
  struct stat st;
  return ToPath(path, p) && ::stat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::uint64_t GetFileTimeStamp(const std::u16string& path, std::int32_t which) {
  std::string p;
  if (!ToPath(path, p)) return 0;
  int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct statx sx;
  int rc = ::statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx);
  ::close(fd);
  // Opening for reading succeeds on a directory here, but not on Windows.
  if (rc != 0 || S_ISDIR(sx.stx_mode)) return 0;
  if (which == 0) {
    // Linux keeps a creation (birth) time only on some file systems; where
    // there is none, the inode change time is the closest stand-in.
    return ToFileTime((sx.stx_mask & STATX_BTIME) != 0 ? sx.stx_btime : sx.stx_ctime);
  }
  return ToFileTime(which == 1 ? sx.stx_atime : sx.stx_mtime);
}
#endif

}  // namespace util
