// Project files on Linux: descriptors read with pread (so that several
// threads read one file at once), a save written with O_DIRECT where the
// file system takes it, then fsync.
#include "project_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hostmodel::detail {

namespace {

std::string ErrorText(int error) { return std::strerror(error); }

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

ProjectInput::ProjectInput(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error_ = ErrorText(errno);
    return;
  }
  handle_ = fd;
  open_ = true;
  struct stat st {};
  regular_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  size_ = regular_ ? static_cast<std::uint64_t>(st.st_size) : 0;
}

ProjectInput::~ProjectInput() {
  if (open_) ::close(static_cast<int>(handle_));
}

std::int64_t ProjectInput::ReadAt(std::uint64_t offset, char* buffer, std::size_t length, std::string* error) const {
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(handle_), buffer, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *error = ErrorText(errno);
    return n;
  }
}

std::int64_t ProjectInput::Read(char* buffer, std::size_t length, std::string* error) {
  (void)position_;  // pread leaves the descriptor's own position alone
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer, length);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *error = ErrorText(errno);
    return n;
  }
}

// Writes a new file's text in large aligned blocks straight to the disk
// (O_DIRECT), past the page cache. The save ends with a flush to the disk
// anyway; copying a large project's text into the page cache first costs
// more here than the disk takes to write it, and leaves it all to be
// flushed at the end. The last, partial block is written the ordinary
// way. Where the file system does not take such writes, every write is an
// ordinary one.
struct ProjectOutput::State {
  static constexpr std::size_t kAlign = 4096, kBuffer = std::size_t{8} << 20;

  State(int file, bool directWrites) : fd(file), direct(directWrites) {
    if (direct && ::posix_memalign(&memory, kAlign, kBuffer) != 0) {
      memory = nullptr;
      Ordinary();
    }
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    std::free(memory);
    if (fd >= 0) ::close(fd);
  }

  bool Write(std::string_view text) {
    if (!direct) return WriteOrdinary(text);
    auto* buffer = static_cast<char*>(memory);
    while (!text.empty()) {
      const std::size_t n = std::min(text.size(), kBuffer - used);
      std::memcpy(buffer + used, text.data(), n);
      used += n;
      text.remove_prefix(n);
      if (used == kBuffer && !WriteBlocks()) return false;
    }
    return true;
  }

  // Writes what is held; the file then has all of the text.
  bool Flush() {
    if (!direct || used == 0) return true;
    Ordinary();
    const bool ok = WriteOrdinary({static_cast<const char*>(memory), used});
    used = 0;
    return ok;
  }

  bool WriteOrdinary(std::string_view text) {
    if (WriteAll(fd, text)) return true;
    error = errno ? errno : EIO;
    return false;
  }

  // The full buffer, straight to the disk; the ordinary way if the file
  // system refuses, or (not expected) writes only part of a block.
  bool WriteBlocks() {
    std::string_view text(static_cast<const char*>(memory), used);
    used = 0;
    while (direct && !text.empty()) {
      const ssize_t n = ::write(fd, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EINVAL) {
        error = errno;
        return false;
      }
      if (n <= 0 || static_cast<std::size_t>(n) % kAlign != 0) {
        if (n > 0) text.remove_prefix(static_cast<std::size_t>(n));
        Ordinary();
        break;
      }
      text.remove_prefix(static_cast<std::size_t>(n));
    }
    return text.empty() || WriteOrdinary(text);
  }

  void Ordinary() {
    if (direct) {
      const int flags = ::fcntl(fd, F_GETFL);
      if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_DIRECT);
    }
    direct = false;
  }

  int fd;
  bool direct;
  void* memory = nullptr;
  std::size_t used = 0;
  int error = 0;
};

ProjectOutput::ProjectOutput(const std::string& path, bool direct) {
  constexpr int kCreate = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
  int fd = direct ? ::open(path.c_str(), kCreate | O_DIRECT, 0666) : -1;
  if (!direct || (fd < 0 && errno == EINVAL)) {
    direct = false;
    fd = ::open(path.c_str(), kCreate, 0666);
  }
  if (fd < 0) {
    error_ = ErrorText(errno);
    return;
  }
  state_ = new State(fd, direct);
}

ProjectOutput::~ProjectOutput() { delete state_; }

bool ProjectOutput::Write(std::string_view text) {
  if (state_ == nullptr) return false;
  if (state_->Write(text)) return true;
  error_ = ErrorText(state_->error);
  return false;
}

bool ProjectOutput::Finish() {
  if (state_ == nullptr) return false;
  int failure = 0;
  if (!state_->Flush()) failure = state_->error;
  if (failure == 0 && ::fsync(state_->fd) != 0) failure = errno;
  const int fd = state_->fd;
  state_->fd = -1;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  delete state_;
  state_ = nullptr;
  if (failure != 0) error_ = ErrorText(failure);
  return failure == 0;
}

std::string TemporarySibling(const std::string& path) { return path + ".tmp" + std::to_string(::getpid()); }

bool RenameOver(const std::string& from, const std::string& to, std::string* error) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  *error = ErrorText(errno);
  return false;
}

void RemoveFile(const std::string& path) { std::remove(path.c_str()); }

}  // namespace hostmodel::detail
