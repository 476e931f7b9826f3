#include "collada/output_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace collada {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;
// Written bytes are handed to the disk in batches of this size while the
// document goes on, so that the flush before the rename waits only for the
// last of them.
constexpr std::size_t kWritebackBatch = std::size_t{16} << 20;

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

FileSizeSignalGuard::FileSizeSignalGuard() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGXFSZ);
  sigset_t pending;
  sigemptyset(&pending);
  active_ = pthread_sigmask(SIG_BLOCK, &set_, &old_) == 0;
  if (active_ && sigpending(&pending) == 0) wasPending_ = sigismember(&pending, SIGXFSZ) == 1;
}

FileSizeSignalGuard::~FileSizeSignalGuard() {
  if (!active_) return;
  if (!wasPending_) {
    timespec zero{0, 0};
    while (sigtimedwait(&set_, nullptr, &zero) == SIGXFSZ) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

OutputFile::~OutputFile() { Abandon(); }

bool OutputFile::Open(const std::string& destination) {
  Abandon();
  error_.clear();
  destination_ = destination;
  if (destination.empty() || destination.back() == '/') {
    Fail("no file name in the destination", EINVAL);
    return false;
  }
  struct stat st {};
  bool exists = ::stat(destination.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    Fail("the destination is a folder", EISDIR);
    return false;
  }
  // Hidden, unique, and in the same folder: rename() is atomic only within
  // one file system.
  std::string stem = FolderOf(destination) + "/." + NameOf(destination) + ".";
  std::random_device entropy;
  std::mt19937_64 rng((static_cast<std::uint64_t>(entropy()) << 32) ^ entropy() ^ static_cast<std::uint64_t>(getpid()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "%012llx.tmp", static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
    std::string candidate = stem + suffix;
    // 0666 under the process's umask, as a newly created document would be.
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      tempPath_ = candidate;
      // A replaced document keeps its permissions.
      if (exists) (void)::fchmod(fd_, st.st_mode & 07777);
      buffer_.resize(kBufferSize);
      used_ = 0;
      written_ = handedOver_ = 0;
      return true;
    }
    if (errno != EEXIST) {
      Fail("cannot create a file in " + FolderOf(destination), errno);
      return false;
    }
  }
  Fail("cannot create a temporary file in " + FolderOf(destination), EEXIST);
  return false;
}

void OutputFile::Fail(const std::string& what, int err) {
  if (!error_.empty()) return;
  // Texts name no path: whoever reports them names the document.
  error_ = what.empty() ? std::string(std::strerror(err)) : what + ": " + std::strerror(err);
}

void OutputFile::WriteAll(const char* data, std::size_t size) {
  if (fd_ < 0 || Failed()) return;
  FileSizeSignalGuard guard;
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("", errno);
      return;
    }
    if (n == 0) {
      Fail("", EIO);
      return;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    written_ += static_cast<std::uint64_t>(n);
  }
  if (written_ - handedOver_ >= kWritebackBatch) {
    // Starts the write-back and does not wait for it; a file system that
    // cannot do this just leaves it all to the flush.
    (void)::sync_file_range(fd_, static_cast<off_t>(handedOver_), static_cast<off_t>(written_ - handedOver_),
                            SYNC_FILE_RANGE_WRITE);
    handedOver_ = written_;
  }
}

void OutputFile::Flush() {
  if (used_ > 0) WriteAll(buffer_.data(), used_);
  used_ = 0;
}

void OutputFile::Write(std::string_view bytes) {
  if (fd_ < 0 || Failed()) return;
  if (bytes.size() > buffer_.size() - used_) {
    Flush();
    // Big array texts go to the file without a copy.
    if (bytes.size() >= buffer_.size() / 2) {
      WriteAll(bytes.data(), bytes.size());
      return;
    }
  }
  std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
  used_ += bytes.size();
}

char* OutputFile::Reserve(std::size_t n) {
  if (buffer_.size() - used_ < n) Flush();
  if (buffer_.size() < n) buffer_.resize(n);
  return buffer_.data() + used_;
}

bool OutputFile::Commit() { return Finish() && Replace(); }

bool OutputFile::Finish() {
  if (fd_ < 0) {
    if (error_.empty()) Fail("no file is open", EBADF);
    return false;
  }
  Flush();
  if (!Failed() && ::fdatasync(fd_) != 0) Fail("the document cannot be flushed to the disk", errno);
  if (::close(fd_) != 0) Fail("the document cannot be closed", errno);
  fd_ = -1;
  if (Failed()) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
    return false;
  }
  finished_ = true;
  return true;
}

bool OutputFile::Replace() {
  if (!finished_ || Failed()) {
    if (error_.empty()) Fail("the document is not complete", EBADF);
    Abandon();
    return false;
  }
  finished_ = false;
  if (::rename(tempPath_.c_str(), destination_.c_str()) != 0) {
    Fail("the existing file cannot be replaced", errno);
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
    return false;
  }
  tempPath_.clear();
  return true;
}

void OutputFile::Abandon() {
  finished_ = false;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
  }
  buffer_.clear();
  buffer_.shrink_to_fit();
  used_ = 0;
}

}  // namespace collada
