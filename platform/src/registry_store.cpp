// On-disk key directories and values files of the registry stand-in.
#include "registry_store.h"

#include "base/case_map.h"
#include "base/file_time.h"
#include "base/utf.h"
#include "unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform::regstore {
namespace {

using base::UpperUnit;
using platform::detail::UniqueFd;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::uint64_t ToFileTime(const struct timespec& ts) { return base::FileTimeFromUnix(ts.tv_sec, ts.tv_nsec); }

// Reads a whole file of at most limit bytes; false on error or when larger.
bool ReadAll(int fd, std::size_t limit, std::string& out, bool& tooLarge) {
  tooLarge = false;
  out.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (out.size() + static_cast<std::size_t>(n) > limit) {
      tooLarge = true;
      return false;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::u16string FoldCase(std::u16string_view s) {
  std::u16string r(s);
  for (auto& c : r) c = UpperUnit(c);
  return r;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && UpperUnit(a[i]) != UpperUnit(b[i])) return false;
  }
  return true;
}

std::string EncodeKeyName(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxKeyNameUnits) return {};
  auto utf8 = base::ToUtf8Strict(name);
  if (!utf8) return {};
  std::string out;
  for (std::size_t i = 0; i < utf8->size(); ++i) {
    auto b = static_cast<unsigned char>((*utf8)[i]);
    if (b == '%' || b == '/' || b < 0x20 || b == 0x7F || (i == 0 && b == '.')) {
      out.push_back('%');
      out.push_back("0123456789ABCDEF"[b >> 4]);
      out.push_back("0123456789ABCDEF"[b & 15]);
    } else {
      out.push_back(static_cast<char>(b));
    }
  }
  if (out.size() > NAME_MAX) return {};
  return out;
}

std::optional<std::u16string> DecodeKeyName(std::string_view entry) {
  if (entry.empty() || entry[0] == '.') return std::nullopt;
  std::string raw;
  for (std::size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] != '%') {
      raw.push_back(entry[i]);
      continue;
    }
    if (i + 2 >= entry.size()) return std::nullopt;
    int hi = HexDigit(entry[i + 1]);
    int lo = HexDigit(entry[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    raw.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  auto name = base::FromUtf8Strict(raw);
  // Only the canonical spelling counts, so that one key has one directory.
  if (!name || EncodeKeyName(*name) != entry) return std::nullopt;
  return name;
}

DWORD ListSubKeys(int dirfd, std::vector<SubKey>& out) {
  out.clear();
  // A descriptor of its own: readdir moves the file offset, which a dup would
  // share with the handle's descriptor.
  int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ERROR_KEY_DELETED : ERROR_CANTREAD;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return ERROR_CANTREAD;
  }
  // The listing grows as it reads: without memory for it the directory
  // stream still goes.
  std::unique_ptr<DIR, int (*)(DIR*)> stream(dir, ::closedir);
  while (struct dirent* e = ::readdir(dir)) {
    if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
    auto name = DecodeKeyName(e->d_name);
    if (!name) continue;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) continue;
    }
    out.push_back({std::move(*name), e->d_name});
  }
  stream.reset();
  std::sort(out.begin(), out.end(), [](const SubKey& a, const SubKey& b) {
    auto fa = FoldCase(a.name);
    auto fb = FoldCase(b.name);
    return fa != fb ? fa < fb : a.entry < b.entry;
  });
  return ERROR_SUCCESS;
}

DWORD FindSubKey(int dirfd, std::u16string_view name, std::string& entry) {
  std::string exact = EncodeKeyName(name);
  if (exact.empty()) return ERROR_INVALID_PARAMETER;
  struct stat st;
  if (::fstatat(dirfd, exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    entry = exact;
    return ERROR_SUCCESS;
  }
  std::vector<SubKey> subs;
  if (DWORD rc = ListSubKeys(dirfd, subs); rc != ERROR_SUCCESS) return rc;
  for (auto& s : subs) {
    if (EqualNoCase(s.name, name)) {
      entry = s.entry;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

int KeyLockTimeoutMs() {
  const char* text = std::getenv("CORV_REGISTRY_LOCK_TIMEOUT_MS");
  if (text == nullptr || *text == 0) return kKeyLockTimeoutMs;
  const long value = std::strtol(text, nullptr, 10);
  return value > 0 && value < 600000 ? static_cast<int>(value) : kKeyLockTimeoutMs;
}

KeyLock::KeyLock(int dirfd) {
  try {
    Take(dirfd);
  } catch (...) {
    // No destructor runs for a constructor that throws: the descriptor,
    // and the lock it may hold, go here.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    throw;
  }
}

void KeyLock::Take(int dirfd) {
  fd_ = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    status_ = errno == ENOENT ? ERROR_KEY_DELETED : ERROR_CANTWRITE;
    return;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
  if (errno != EWOULDBLOCK && errno != EINTR) {
    status_ = ERROR_CANTWRITE;
    return;
  }
  // Never an unbounded wait: a holder may be stopped (Ctrl-Z), hung, or
  // another local user who can open a readable key directory. The blocking
  // lock is taken on a helper thread, so waiting writers are still served in
  // the kernel's order; at the deadline the helper keeps the descriptor and
  // closes it (dropping a lock it got too late) whenever its wait ends.
  struct Attempt {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool locked = false;
    bool abandoned = false;
    int fd = -1;
  };
  auto attempt = std::make_shared<Attempt>();
  attempt->fd = fd_;
  std::thread([attempt] {
    int rc;
    while ((rc = ::flock(attempt->fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> hold(attempt->mutex);
    attempt->done = true;
    attempt->locked = rc == 0;
    if (attempt->abandoned) ::close(attempt->fd);
    attempt->finished.notify_all();
  }).detach();
  std::unique_lock<std::mutex> hold(attempt->mutex);
  if (!attempt->finished.wait_for(hold, std::chrono::milliseconds(KeyLockTimeoutMs()), [&] { return attempt->done; })) {
    attempt->abandoned = true;
    fd_ = -1;  // the helper's now
    status_ = ERROR_TIMEOUT;
    return;
  }
  if (!attempt->locked) status_ = ERROR_CANTWRITE;
}

KeyLock::~KeyLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
}

bool IsDeleted(int dirfd) {
  struct stat st;
  return ::fstat(dirfd, &st) != 0 || st.st_nlink == 0;
}

DWORD LoadValues(int dirfd, std::vector<Value>& out) {
  out.clear();
  // Non-blocking: a FIFO in place of the file must not hang the reader.
  UniqueFd fd(::openat(dirfd, kValuesFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) {
    if (errno == ENOENT) return IsDeleted(dirfd) ? ERROR_KEY_DELETED : ERROR_SUCCESS;
    return errno == ELOOP ? ERROR_BADDB : ERROR_CANTREAD;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return ERROR_BADDB;
  std::string text;
  bool tooLarge = false;
  bool ok = ReadAll(fd.get(), kMaxValuesFileBytes, text, tooLarge);
  fd.reset();
  if (!ok) return tooLarge ? ERROR_BADDB : ERROR_CANTREAD;
  return ParseValues(text, out) ? ERROR_SUCCESS : ERROR_BADDB;
}

DWORD StoreValues(int dirfd, const std::vector<Value>& values) {
  if (IsDeleted(dirfd)) return ERROR_KEY_DELETED;
  std::string text = SerializeValues(values);
  if (text.size() > kMaxValuesFileBytes) return ERROR_NOT_ENOUGH_MEMORY;
  // Readable by whoever may list the key: the machine's installed-program
  // list is written by an installer and read by every user.
  struct stat st;
  mode_t mode = ::fstat(dirfd, &st) == 0 ? (st.st_mode & 0666) : 0600;
  // The temporary file has one fixed name per key, written under the key's
  // lock: one that a kill left behind is simply written over by the next
  // writer. Non-blocking and a regular file of ours, or no write.
  int fd = ::openat(dirfd, kValuesTemp, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode | 0600);
  if (fd < 0) return errno == ENOENT ? ERROR_KEY_DELETED : ERROR_CANTWRITE;
  struct stat tst;
  if (::fstat(fd, &tst) != 0 || !S_ISREG(tst.st_mode) || tst.st_uid != ::geteuid() || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return ERROR_CANTWRITE;
  }
  ::fchmod(fd, mode | 0600);  // a stale temporary file keeps its old mode otherwise
  bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::renameat(dirfd, kValuesTemp, dirfd, kValuesFile) != 0) {
    ::unlinkat(dirfd, kValuesTemp, 0);
    return ERROR_CANTWRITE;
  }
  // No fsync of the directory: the rename is atomic either way, and readers
  // see the old or the new file; after a power loss the last write may be
  // missing, never torn. Syncing the directory too would double the cost of
  // every write.
  return ERROR_SUCCESS;
}

std::uint64_t KeyWriteTime(int dirfd) {
  struct stat st;
  std::uint64_t t = 0;
  if (::fstat(dirfd, &st) == 0) t = ToFileTime(st.st_mtim);
  if (::fstatat(dirfd, kValuesFile, &st, AT_SYMLINK_NOFOLLOW) == 0) t = std::max(t, ToFileTime(st.st_mtim));
  return t;
}

}  // namespace platform::regstore
