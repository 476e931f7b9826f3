// The Win32 file calls the texture and export code uses, over POSIX calls.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "base/utf.h"
#include "platform/win32.h"
#include "utf16.h"

namespace {

DWORD FileError(int error) {
  switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_ACCESS_DENIED;
  }
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The UTF-8 path, or false (ERROR_INVALID_PARAMETER) for null, empty or a
// path that holds NUL within the limit.
bool NarrowPath(LPCWSTR path, std::string* out) {
  std::size_t length = 0;
  if (!platform::detail::BoundedLength(path, 32767, &length) || length == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *out = base::ToUtf8(std::u16string_view(path, length));
  return true;
}

// A missing file whose parent folder is missing too is a missing path.
DWORD MissingError(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
  struct stat parent;
  return ::stat(path.substr(0, slash).c_str(), &parent) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD ErrorFor(int error, const std::string& path) { return error == ENOENT ? MissingError(path) : FileError(error); }

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

DWORD GetFileAttributesW(LPCWSTR path) {
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (::stat(narrow.c_str(), &st) != 0) {
    SetLastError(ErrorFor(errno, narrow));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  if (::access(narrow.c_str(), W_OK) != 0) {
    // FILE_ATTRIBUTE_NORMAL stands alone on Windows: a read-only file has
    // just the read-only bit.
    attributes = (attributes & FILE_ATTRIBUTE_DIRECTORY) | FILE_ATTRIBUTE_READONLY;
  }
  return attributes;
}

BOOL CreateDirectoryW(LPCWSTR path, void* /*security*/) {
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return FALSE;
  if (::mkdir(narrow.c_str(), 0777) != 0) return Fail(ErrorFor(errno, narrow));
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  std::string narrow;
  if (!NarrowPath(path, &narrow)) return FALSE;
  struct stat st;
  if (::lstat(narrow.c_str(), &st) != 0) return Fail(ErrorFor(errno, narrow));
  if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (::unlink(narrow.c_str()) != 0) return Fail(ErrorFor(errno, narrow));
  return TRUE;
}

BOOL CopyFileW(LPCWSTR existingPath, LPCWSTR newPath, BOOL failIfExists) {
  std::string from, to;
  if (!NarrowPath(existingPath, &from) || !NarrowPath(newPath, &to)) return FALSE;
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return Fail(ErrorFor(errno, from));
  struct stat st;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(in);
    return Fail(ERROR_ACCESS_DENIED);  // a folder, a FIFO, a device
  }
  struct stat target;
  if (::stat(to.c_str(), &target) == 0) {
    if (failIfExists || S_ISDIR(target.st_mode)) {
      ::close(in);
      return Fail(failIfExists ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    }
    if (target.st_dev == st.st_dev && target.st_ino == st.st_ino) {
      ::close(in);
      return TRUE;  // copying a file onto itself leaves it as it is
    }
  }

  // Written beside the target under a unique name, then renamed over it.
  std::string temporary = to + ".copy-XXXXXX";
  const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (out < 0) {
    const DWORD error = ErrorFor(errno, to);
    ::close(in);
    return Fail(error);
  }
  bool ok = true;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (!WriteAll(out, buffer, static_cast<std::size_t>(n))) {
      ok = false;
      break;
    }
  }
  const int savedErrno = errno;
  ::fchmod(out, st.st_mode & 07777);
  ok = ::close(out) == 0 && ok;
  ::close(in);
  if (ok && failIfExists) {
    // link() refuses an existing name: no race with a target made meanwhile.
    if (::link(temporary.c_str(), to.c_str()) != 0) {
      const DWORD error = errno == EEXIST ? ERROR_FILE_EXISTS : ErrorFor(errno, to);
      ::unlink(temporary.c_str());
      return Fail(error);
    }
    ::unlink(temporary.c_str());
    return TRUE;
  }
  if (ok && ::rename(temporary.c_str(), to.c_str()) == 0) return TRUE;
  const DWORD error = ok ? ErrorFor(errno, to) : FileError(savedErrno);
  ::unlink(temporary.c_str());
  return Fail(error);
}
