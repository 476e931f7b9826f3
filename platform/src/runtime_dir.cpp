// Where the per-user state of the stand-ins lives: $CORV_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/corvanta, else /tmp/corvanta-UID. The directory must be
// ours and private: anyone able to write into it could forge windows or
// redirect posted messages.
#include "runtime_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <atomic>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/win32.h"

namespace platform::detail {
namespace {

std::string ChooseDirectory() {
  std::string dir;
  if (const char* own = std::getenv("CORV_RUNTIME_DIR"); own && *own) {
    dir = own;
  } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
    dir = std::string(xdg) + "/corvanta";
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

RuntimeLock::RuntimeLock(const char* fileName, int timeoutMs) {
  const std::string dir = platform::RuntimeDirectory();
  if (dir.empty()) return;
  const std::string path = dir + "/" + fileName;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > maxBytes) {
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
  const std::string temp = path + ".tmp" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace platform::detail

std::string platform::RuntimeDirectory() {
  static std::mutex mutex;
  static std::string verified;
  const std::string dir = detail::ChooseDirectory();
  std::lock_guard lock(mutex);
  if (dir == verified) return dir;
  if (!detail::MakeDirectories(dir)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return {};
  }
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return {};
  }
  // Tighten a directory we own; a shared one would let others forge windows.
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return {};
  }
  verified = dir;
  return dir;
}
