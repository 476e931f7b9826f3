// Where the per-user state of the stand-ins lives: $CORV_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/corvanta, else $HOME/.cache/corvanta/runtime, else
// /tmp/corvanta-UID. The directory must be ours and private: anyone able to
// write into it could forge windows or redirect posted messages. It is
// checked through a descriptor that is kept, and files in it are opened
// relative to that descriptor, so a folder removed and made again by someone
// else (possible under /tmp) is never used unchecked.
#include "runtime_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform/win32.h"

namespace platform::detail {

bool CheckDirectory(const std::string& dir, int* fd);

namespace {

bool HomeIsOurs(const char* home) {
  struct stat st {};
  return ::stat(home, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

std::string ChooseDirectory() {
  std::string dir;
  if (const char* own = std::getenv("CORV_RUNTIME_DIR"); own && *own) {
    dir = own;
  } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
    dir = std::string(xdg) + "/corvanta";
  } else if (const char* home = std::getenv("HOME"); home && home[0] == '/' && HomeIsOurs(home)) {
    // Under the user's home nobody else can remove and re-create it, as
    // anyone can with a name under /tmp.
    dir = std::string(home) + "/.cache/corvanta/runtime";
  } else {
    dir = "/tmp/corvanta-" + std::to_string(::geteuid());
  }
  // Paths from here end up in window records that other processes, started
  // elsewhere, follow: a relative one would point somewhere else for them.
  if (dir[0] != '/') {
    char* cwd = ::getcwd(nullptr, 0);
    if (!cwd) return {};
    dir = std::string(cwd) + "/" + dir;
    std::free(cwd);
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// mkdir -p for the missing tail of the path; existing parents are not changed.
bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT) return false;
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return false;
  if (!MakeDirectories(path.substr(0, slash))) return false;
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// The checked directory: its path and a descriptor of it. Descriptors of
// earlier directories stay open, since another thread may still be using one.
struct Checked {
  std::mutex mutex;
  std::string path;
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
};
Checked& TheChecked() {
  static Checked* c = new Checked;  // used by destructors of statics too
  return *c;
}

// Inside the runtime directory: the part of path after it, else empty.
// refused is set when path is under the runtime directory's name but that
// folder does not pass the check (any more): then nothing may be opened.
bool RelativeToRuntime(const std::string& path, int* dirfd, std::string* relative, bool* refused) {
  *refused = false;
  // Paths elsewhere (/proc, say) neither check nor make the directory.
  const std::string chosen = ChooseDirectory();
  if (chosen.empty() || path.compare(0, chosen.size(), chosen) != 0) return false;
  if (!CheckDirectory(chosen, dirfd)) {
    *refused = path.size() > chosen.size() && path[chosen.size()] == '/';
    return false;
  }
  if (path.size() <= chosen.size() + 1 || path[chosen.size()] != '/') return false;
  *relative = path.substr(chosen.size() + 1);
  return true;
}

// Opens path; one in the runtime directory relative to its checked
// descriptor, and only when it is a regular file of ours. Never blocks in
// open (a FIFO planted in place of a file would).
int OpenFile(const std::string& path, int flags, mode_t mode, bool ownRegularOnly) {
  int dirfd = -1;
  std::string relative;
  bool refused = false;
  const bool inside = RelativeToRuntime(path, &dirfd, &relative, &refused);
  if (refused) {
    errno = EACCES;
    return -1;
  }
  flags |= O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  const int fd = inside ? ::openat(dirfd, relative.c_str(), flags, mode) : ::open(path.c_str(), flags, mode);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ((inside || ownRegularOnly) && st.st_uid != ::geteuid())) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  // Regular files never block; clear the flag for plain semantics.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

namespace {

// Lock files whose last wait timed out, with the time until which this
// process does not wait on them again. A holder stopped in a debugger or by
// Ctrl-Z stays stopped for minutes: paying the full wait once per object
// closed or created would add up to hours on the user's thread.
struct SkippedLocks {
  std::mutex mutex;
  std::map<std::string, std::chrono::steady_clock::time_point> until;
};
SkippedLocks& Skipped() {
  static SkippedLocks* s = new SkippedLocks;  // used by destructors of statics too
  return *s;
}

bool TryFlock(int fd) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace

RuntimeLock::RuntimeLock(const char* fileName, int timeoutMs) noexcept {
  // Objects are released under this lock from destructors: without memory
  // for the path the lock is simply not taken, which callers already handle.
  try {
    Take(fileName, timeoutMs);
  } catch (const std::bad_alloc&) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
}

void RuntimeLock::Take(const char* fileName, int timeoutMs) {
  const std::string dir = platform::RuntimeDirectory();
  if (dir.empty()) return;
  const std::string path = dir + "/" + fileName;
  fd_ = OpenFile(path, O_RDWR | O_CREAT, 0600, true);
  if (fd_ < 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  bool skipping = false;
  {
    SkippedLocks& s = Skipped();
    std::lock_guard guard(s.mutex);
    auto it = s.until.find(path);
    if (it != s.until.end()) {
      if (now < it->second) skipping = true;
      else s.until.erase(it);
    }
  }
  if (TryFlock(fd_)) {
    if (skipping) {
      SkippedLocks& s = Skipped();
      std::lock_guard guard(s.mutex);
      s.until.erase(path);  // the holder let go: wait normally again
    }
    return;
  }
  const auto fail = [this] {
    ::close(fd_);
    fd_ = -1;
    SetLastError(ERROR_TIMEOUT);
  };
  if (skipping || timeoutMs <= 0 || errno != EWOULDBLOCK) {
    fail();
    return;
  }
  const auto deadline = now + std::chrono::milliseconds(timeoutMs);
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(5000));
    if (TryFlock(fd_)) return;
    if (errno != EWOULDBLOCK) {
      fail();
      return;
    }
    if (Clock::now() >= deadline) break;
  }
  {
    SkippedLocks& s = Skipped();
    std::lock_guard guard(s.mutex);
    s.until[path] = Clock::now() + std::chrono::milliseconds(kSkipAfterTimeoutMs);
  }
  fail();
}

RuntimeLock::~RuntimeLock() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the flock
}

bool ReadSmallFile(const std::string& path, std::string* out, std::size_t maxBytes) {
  const int fd = OpenFile(path, O_RDONLY, 0, false);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return false;
  }
  out->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || out->size() + static_cast<std::size_t>(n) > maxBytes) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    out->append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& content) {
  static std::atomic<unsigned> counter{0};
  // The folder to write in, by descriptor (relative to the checked runtime
  // directory when the file is in it), and the file's name in it.
  int runtimeFd = -1;
  std::string relative;
  bool refused = false;
  const bool inside = RelativeToRuntime(path, &runtimeFd, &relative, &refused);
  if (refused) return false;
  const std::string& full = inside ? relative : path;
  const auto slash = full.find_last_of('/');
  const std::string base = slash == std::string::npos ? full : full.substr(slash + 1);
  const std::string folder = slash == std::string::npos ? "." : full.substr(0, std::max<std::size_t>(slash, 1));
  if (base.empty()) return false;
  const int parent = inside ? ::openat(runtimeFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                            : ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return false;
  const std::string temp = base + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
  // Written unnamed (O_TMPFILE) and named only for the rename, so a kill
  // while writing leaves nothing. A temporary name that exists already
  // carries our pid and counter: left by an earlier process that had our
  // pid and was killed between naming and renaming. It is stale; remove it.
  const auto name = [&](auto&& make) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (make() == 0) return true;
      if (errno != EEXIST) return false;
      ::unlinkat(parent, temp.c_str(), 0);
    }
    return false;
  };
  bool named = false;
  // Naming an unnamed file goes through /proc/self/fd.
  static const bool canName = ::access("/proc/self/fd", F_OK) == 0;
  int fd = canName ? ::openat(parent, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600) : -1;
  int namedFd = -1;
  if (fd < 0) {
    // File systems without O_TMPFILE: a named temporary file from the start.
    // A kill may leave it; the next process with our pid removes it.
    named = name([&] {
      namedFd = ::openat(parent, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      return namedFd >= 0 ? 0 : -1;
    });
    fd = namedFd;
    if (fd < 0) {
      ::close(parent);
      return false;
    }
  }
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  if (ok && !named) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    named = name([&] { return ::linkat(AT_FDCWD, self.c_str(), parent, temp.c_str(), AT_SYMLINK_FOLLOW); });
    ok = named;
  }
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::renameat(parent, temp.c_str(), parent, base.c_str()) == 0;
  if (!ok && named) ::unlinkat(parent, temp.c_str(), 0);
  ::close(parent);
  return ok;
}

}  // namespace platform::detail

std::string platform::RuntimeDirectory() {
  std::string dir;
  int fd = -1;
  return detail::RuntimeDirectoryFd(&dir, &fd) ? dir : std::string();
}

bool platform::detail::RuntimeDirectoryFd(std::string* path, int* fd) {
  const std::string dir = ChooseDirectory();
  if (!CheckDirectory(dir, fd)) return false;
  *path = dir;
  return true;
}

// dir (the chosen runtime directory) made if missing and checked, or the
// descriptor kept from its last check while the path still names that
// folder. False, with the last error set, when it is not ours.
bool platform::detail::CheckDirectory(const std::string& dir, int* fd) {
  Checked& c = TheChecked();
  std::lock_guard lock(c.mutex);
  // The path must still name the very folder that was checked: one removed
  // and made again (by anyone) is checked afresh.
  struct stat now {};
  if (dir == c.path && c.fd >= 0 && ::lstat(dir.c_str(), &now) == 0 && now.st_dev == c.dev && now.st_ino == c.ino) {
    *fd = c.fd;
    return true;
  }
  if (!MakeDirectories(dir)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  const int dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (dirfd < 0 || ::fstat(dirfd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    if (dirfd >= 0) ::close(dirfd);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // Tighten a directory we own; a shared one would let others forge windows.
  if ((st.st_mode & 077) != 0 && ::fchmod(dirfd, 0700) != 0) {
    ::close(dirfd);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  c.path = dir;
  c.fd = dirfd;  // the previous descriptor stays open for threads still using it
  c.dev = st.st_dev;
  c.ino = st.st_ino;
  *fd = dirfd;
  return true;
}
