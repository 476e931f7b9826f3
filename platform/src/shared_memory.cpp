// Named shared memory with the lifetime of Windows file mappings.
//
// POSIX objects outlive their processes; Windows mappings do not. So every
// process that holds a mapping keeps a shared flock on the object, and an
// exclusive flock that succeeds proves nobody holds it any more: the object
// is stale and may be removed. Only the holder of that exclusive lock ever
// unlinks a name, so a live object is never removed, and a name is only
// re-created after the old object is gone. The per-user lock file serialises
// create, probe and remove between processes so that nobody sees an object
// between its creation and its sizing; the flock protocol alone keeps things
// correct if two processes use different runtime directories.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "handle_table.h"
#include "mapping_guard.h"
#include "platform/win32.h"
#include "runtime_dir.h"
#include "utf16.h"

namespace {

using platform::detail::KernelObject;
using platform::detail::RuntimeLock;

constexpr const char* kLockFile = "shm.lock";
constexpr std::size_t kMaxNameUnits = 32767;  // Windows' limit for object names
// Contended probes back off and retry; this bounds the whole wait to ~1 s.
constexpr int kAttempts = 1000;
constexpr auto kBackoff = std::chrono::milliseconds(1);

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL:
    case EFBIG: return ERROR_INVALID_PARAMETER;
    default: return ERROR_NOT_ENOUGH_MEMORY;
  }
}

bool LockNonBlocking(int fd, int operation) {
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool StillLinked(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && st.st_nlink > 0;
}

// Removes the object behind fd if nobody holds it. Returns true when it was
// stale (then it is gone). fd must not hold a lock yet.
bool RemoveIfStale(int fd, const std::string& posixName) {
  if (!LockNonBlocking(fd, LOCK_EX)) return false;
  // Holding the exclusive lock on a still linked object means the name is
  // this object: nobody else may unlink or re-create it meanwhile.
  if (StillLinked(fd)) ::shm_unlink(posixName.c_str());
  ::flock(fd, LOCK_UN);
  return true;
}

bool OwnedByUs(const struct stat& st) { return S_ISREG(st.st_mode) && st.st_uid == ::geteuid(); }

// Lets go of a descriptor that holds its object's shared lock.
void ReleaseObject(int fd, const std::string& posixName) noexcept {
  if (fd < 0) return;
  if (!posixName.empty()) {
    // Never waits: the flock protocol alone keeps the removal safe (only
    // the last holder, holding it exclusively, unlinks), and a stop closes
    // one object per block, so any wait here would be paid per block.
    RuntimeLock lock(kLockFile, 0);
    // Turning our shared lock into an exclusive one succeeds only when we
    // are the last holder; then the name goes with us, as on Windows.
    if (LockNonBlocking(fd, LOCK_EX) && StillLinked(fd)) ::shm_unlink(posixName.c_str());
  }
  ::close(fd);
}

struct MappingObject final : KernelObject {
  int fd = -1;
  std::string posixName;  // empty for an unnamed mapping
  bool writable = true;

  ~MappingObject() override { ReleaseObject(fd, posixName); }
};

struct View {
  std::shared_ptr<MappingObject> mapping;  // a view keeps its mapping alive
  std::size_t length = 0;
};

struct Views {
  std::mutex mutex;
  std::map<const void*, View> byAddress;
};
Views& TheViews() {
  static Views* v = new Views;  // views may be unmapped during static destruction
  return *v;
}

std::mutex g_sweepMutex;
std::chrono::steady_clock::time_point g_lastSweep{};
bool g_swept = false;

// Call with the lock file held (or after failing to get it).
int SweepLocked() noexcept {
  DIR* dir = ::opendir("/dev/shm");
  if (!dir) return 0;
  int removed = 0;
  try {
    const std::string prefix = "corv-" + std::to_string(::geteuid()) + "-";
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      const std::string posixName = "/" + name;
      const int fd = ::shm_open(posixName.c_str(), O_RDONLY | O_NONBLOCK, 0);
      if (fd < 0) continue;
      struct stat st {};
      if (::fstat(fd, &st) == 0 && OwnedByUs(st) && RemoveIfStale(fd, posixName)) ++removed;
      ::close(fd);
    }
  } catch (const std::bad_alloc&) {
    // Tidying only: the next sweep finishes it.
  }
  ::closedir(dir);
  return removed;
}

void SweepIfDue() {
  std::lock_guard guard(g_sweepMutex);
  const auto now = std::chrono::steady_clock::now();
  if (g_swept && now - g_lastSweep < std::chrono::milliseconds(platform::kSweepIntervalMs)) return;
  g_swept = true;
  g_lastSweep = now;
  SweepLocked();
}

// Gives a locked descriptor its handle. Without memory for one, the
// descriptor is let go as CloseHandle would let it go: a name this call
// just created goes with it, and is not left for the next start to meet
// as "in use" (last error ERROR_NOT_ENOUGH_MEMORY).
HANDLE Wrap(int fd, std::string posixName, bool writable) noexcept {
  std::shared_ptr<MappingObject> object;
  try {
    object = std::make_shared<MappingObject>();
  } catch (const std::bad_alloc&) {
    ReleaseObject(fd, posixName);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  object->posixName = std::move(posixName);
  object->fd = fd;
  object->writable = writable;
  return platform::detail::InsertHandle(std::move(object));
}

// Commits the memory now, so that running out of it is an error here and
// not a SIGBUS when the view is first written.
DWORD Commit(int fd, std::uint64_t size) {
  struct statvfs vfs {};
  if (::fstatvfs(fd, &vfs) == 0 && vfs.f_frsize > 0 && size / vfs.f_frsize > static_cast<std::uint64_t>(vfs.f_bavail))
    return ERROR_NOT_ENOUGH_MEMORY;
  int result;
  do {
    result = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  } while (result == EINTR);
  if (result == 0) return ERROR_SUCCESS;
  // File systems without fallocate: size it and hope, as plain POSIX would.
  if (result == EOPNOTSUPP && ::ftruncate(fd, static_cast<off_t>(size)) == 0) return ERROR_SUCCESS;
  return result == EFBIG || result == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY;
}

HANDLE CreateUnnamed(std::uint64_t size, bool writable) {
  const int fd = ::memfd_create("corv-unnamed", MFD_CLOEXEC);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno));
    return nullptr;
  }
  if (const DWORD error = Commit(fd, size); error != ERROR_SUCCESS) {
    ::close(fd);
    SetLastError(error);
    return nullptr;
  }
  HANDLE handle = Wrap(fd, {}, writable);
  if (handle) SetLastError(ERROR_SUCCESS);
  return handle;
}

bool NameArgument(LPCWSTR name, std::string* posixName) noexcept {
  std::size_t length = 0;
  if (!platform::detail::BoundedLength(name, kMaxNameUnits, &length)) {
    SetLastError(name ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_PARAMETER);
    return false;
  }
  if (length == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  try {
    *posixName = platform::ShmObjectName(std::u16string_view(name, length));
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

}  // namespace

HANDLE CreateFileMappingW(HANDLE hFile, void* /*attributes*/, DWORD protect, DWORD sizeHigh, DWORD sizeLow,
                          LPCWSTR name) {
  if (hFile != INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);  // file-backed mappings are not supported
    return nullptr;
  }
  const DWORD pageKind = protect & ~SEC_COMMIT;
  if (pageKind != PAGE_READWRITE && pageKind != PAGE_READONLY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const bool writable = pageKind == PAGE_READWRITE;
  const std::uint64_t size = (std::uint64_t{sizeHigh} << 32) | sizeLow;
  if (size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
      size > std::numeric_limits<std::size_t>::max()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!name || name[0] == u'\0') return CreateUnnamed(size, writable);

  std::string posixName;
  if (!NameArgument(name, &posixName)) return nullptr;

  RuntimeLock lock(kLockFile);
  SweepIfDue();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int fd = ::shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
      // A prober of another runtime directory may have judged the fresh,
      // not yet locked object stale; then start over.
      if (!LockNonBlocking(fd, LOCK_SH) || !StillLinked(fd)) {
        ::close(fd);
        std::this_thread::sleep_for(kBackoff);
        continue;
      }
      ::fchmod(fd, 0600);  // whatever the umask left
      if (const DWORD error = Commit(fd, size); error != ERROR_SUCCESS) {
        ::shm_unlink(posixName.c_str());
        ::close(fd);
        SetLastError(error);
        return nullptr;
      }
      HANDLE handle = Wrap(fd, std::move(posixName), writable);
      if (handle) SetLastError(ERROR_SUCCESS);
      return handle;
    }
    if (errno == EINTR) continue;
    if (errno != EEXIST) {
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    fd = ::shm_open(posixName.c_str(), O_RDWR, 0);
    if (fd < 0) {
      if (errno == ENOENT || errno == EINTR) continue;  // removed meanwhile
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !OwnedByUs(st)) {
      ::close(fd);
      SetLastError(ERROR_ACCESS_DENIED);  // someone else's object: never touched
      return nullptr;
    }
    if (RemoveIfStale(fd, posixName)) {
      ::close(fd);
      continue;
    }
    if (!LockNonBlocking(fd, LOCK_SH) || ::fstat(fd, &st) != 0 || st.st_nlink == 0 || st.st_size == 0) {
      // Being removed or still being created by someone else: look again.
      ::close(fd);
      std::this_thread::sleep_for(kBackoff);
      continue;
    }
    HANDLE handle = Wrap(fd, std::move(posixName), writable);
    if (handle) SetLastError(ERROR_ALREADY_EXISTS);
    return handle;
  }
  SetLastError(ERROR_TIMEOUT);
  return nullptr;
}

HANDLE OpenFileMappingW(DWORD access, BOOL /*inherit*/, LPCWSTR name) {
  std::string posixName;
  if (!NameArgument(name, &posixName)) return nullptr;
  const bool writable = (access & FILE_MAP_WRITE) != 0;
  if ((access & (FILE_MAP_WRITE | FILE_MAP_READ)) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  RuntimeLock lock(kLockFile);
  SweepIfDue();  // looking for connections counts as enumeration: tidy up too
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int fd = ::shm_open(posixName.c_str(), writable ? O_RDWR : O_RDONLY, 0);
    if (fd < 0) {
      if (errno == EINTR) continue;
      SetLastError(ErrorFromErrno(errno));
      return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !OwnedByUs(st)) {
      ::close(fd);
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    if (RemoveIfStale(fd, posixName)) {
      ::close(fd);
      SetLastError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    if (!LockNonBlocking(fd, LOCK_SH) || ::fstat(fd, &st) != 0 || st.st_size == 0) {
      ::close(fd);
      std::this_thread::sleep_for(kBackoff);
      continue;
    }
    if (st.st_nlink == 0) {
      ::close(fd);
      SetLastError(ERROR_FILE_NOT_FOUND);  // its last holder closed it just now
      return nullptr;
    }
    HANDLE handle = Wrap(fd, std::move(posixName), writable);
    if (handle) SetLastError(ERROR_SUCCESS);
    return handle;
  }
  SetLastError(ERROR_TIMEOUT);
  return nullptr;
}

LPVOID MapViewOfFile(HANDLE handle, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
  auto mapping = platform::detail::LookupHandleAs<MappingObject>(handle);
  if (!mapping) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const bool wantWrite = (access & FILE_MAP_WRITE) != 0;
  if (!wantWrite && (access & FILE_MAP_READ) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (wantWrite && !mapping->writable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const std::uint64_t offset = (std::uint64_t{offsetHigh} << 32) | offsetLow;
  if (offset % MAPPING_ALLOCATION_GRANULARITY != 0) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  // The current size, not the one seen at open: the object is shared and a
  // view past its end would fault on first touch.
  struct stat st {};
  if (::fstat(mapping->fd, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (offset >= size || (bytes != 0 && bytes > size - offset)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::size_t length = bytes != 0 ? bytes : static_cast<std::size_t>(size - offset);
  void* address = ::mmap(nullptr, length, wantWrite ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, mapping->fd,
                         static_cast<off_t>(offset));
  if (address == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  platform::detail::GuardView(address, length, wantWrite ? PROT_READ | PROT_WRITE : PROT_READ);
  try {
    Views& v = TheViews();
    std::lock_guard guard(v.mutex);
    v.byAddress[address] = View{std::move(mapping), length};
  } catch (const std::bad_alloc&) {
    // A view nobody can unmap would keep its object, and its name, alive.
    platform::detail::UnguardView(address);
    ::munmap(address, length);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return address;
}

BOOL UnmapViewOfFile(LPCVOID address) {
  View view;
  {
    Views& v = TheViews();
    std::lock_guard guard(v.mutex);
    auto it = v.byAddress.find(address);
    if (it == v.byAddress.end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    view = std::move(it->second);
    v.byAddress.erase(it);
  }
  platform::detail::UnguardView(address);
  ::munmap(const_cast<void*>(address), view.length);
  return TRUE;  // the mapping itself goes when its last handle or view does
}

bool platform::IsViewBroken(LPCVOID view) { return view != nullptr && detail::ViewBroken(view); }

std::uint64_t platform::BrokenViewCount() { return detail::BrokenCount(); }

SIZE_T platform::GetViewSize(LPCVOID view) {
  Views& v = TheViews();
  std::lock_guard guard(v.mutex);
  auto it = v.byAddress.find(view);
  return it == v.byAddress.end() ? 0 : static_cast<SIZE_T>(it->second.length);
}

SIZE_T platform::GetMappingSize(HANDLE handle) {
  auto mapping = detail::LookupHandleAs<MappingObject>(handle);
  struct stat st {};
  if (!mapping || ::fstat(mapping->fd, &st) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<SIZE_T>(st.st_size);
}

int platform::SweepStaleMappings() {
  RuntimeLock lock(kLockFile);
  std::lock_guard guard(g_sweepMutex);
  g_swept = true;
  g_lastSweep = std::chrono::steady_clock::now();
  return SweepLocked();
}
