// The per-user runtime directory and the lock files kept in it.
#pragma once

#include <string>

namespace platform::detail {

// An exclusive flock on a file in the runtime directory, held for the
// object's life. Separate instances exclude each other even inside one
// process (each has its own open file description).
inline constexpr int kSkipAfterTimeoutMs = 30000;

class RuntimeLock {
 public:
  // Waits up to timeoutMs for the lock, so that a holder stopped in a
  // debugger cannot hang everyone. ok() is false (last error ERROR_TIMEOUT,
  // or the reason the file could not be opened) when it was not taken;
  // callers then go on unlocked where their own protocol stays safe, or fail.
  // After a wait that timed out, the process does not wait on that file
  // again for kSkipAfterTimeoutMs: each later attempt tries once and gives up
  // at once while the holder still has it. timeoutMs 0 never waits.
  // Never throws: without memory it is not taken (ERROR_NOT_ENOUGH_MEMORY).
  explicit RuntimeLock(const char* fileName, int timeoutMs = 2000) noexcept;
  ~RuntimeLock();
  RuntimeLock(const RuntimeLock&) = delete;
  RuntimeLock& operator=(const RuntimeLock&) = delete;
  bool ok() const { return fd_ >= 0; }

 private:
  void Take(const char* fileName, int timeoutMs);
  int fd_ = -1;
};

// The checked runtime directory and a descriptor of it (kept open for the
// process's life; do not close it). Files in it are opened relative to the
// descriptor. False, with the last error set, when there is none of ours.
bool RuntimeDirectoryFd(std::string* path, int* fd);

// Reads a whole small file; false when it is missing, unreadable, not a
// regular file (a FIFO never blocks the reader) or larger than maxBytes. A
// file in the runtime directory is opened relative to its checked
// descriptor and must be the user's own.
bool ReadSmallFile(const std::string& path, std::string* out, std::size_t maxBytes);
// Writes through a temporary file and rename, so readers see the old or the
// new content, never a torn one. Mode 0600.
bool WriteFileAtomically(const std::string& path, const std::string& content);

}  // namespace platform::detail
