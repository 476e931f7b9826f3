// The on-disk side of the registry stand-in: one directory per key, one
// human-readable JSON file per key holding its values. Everything here works
// relative to an open directory descriptor of a key, so a handle keeps
// pointing at its own key even while other processes create or delete keys
// around it. Internal to the platform library.
#pragma once

#include "base/utf.h"
#include "platform/win32.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::regstore {

// File inside every key directory that holds the key's values. Its name
// starts with "." so that it can never collide with an encoded sub-key name.
inline constexpr const char* kValuesFile = ".values.json";
inline constexpr const char* kValuesTemp = ".values.json.tmp";
// Readers refuse larger files as damaged; writers refuse to produce them.
inline constexpr std::size_t kMaxValuesFileBytes = 32u << 20;
// Windows' own limits on names, in UTF-16 units.
inline constexpr std::size_t kMaxKeyNameUnits = 255;
inline constexpr std::size_t kMaxValueNameUnits = 16383;

struct Value {
  std::u16string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

// ---- Names ------------------------------------------------------------------
// Upper-cases code unit by code unit (C.UTF-8 rules), as Windows compares key
// and value names.
std::u16string FoldCase(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// A key name component as a directory name: UTF-8 with "%", "/", control
// characters and a leading "." written as %XX. Empty result when the name
// cannot be stored (empty, a lone surrogate, or longer than NAME_MAX encoded).
std::string EncodeKeyName(std::u16string_view name);
// Inverse of EncodeKeyName; nothing for entries that no encoding produces
// (hidden files, stray "%", bad UTF-8), which enumeration then ignores.
std::optional<std::u16string> DecodeKeyName(std::string_view entry);

// ---- Key directories ---------------------------------------------------------
// Sub-keys of the key open at dirfd, decoded, sorted case-insensitively (the
// order Windows enumerates them in). Returns ERROR_SUCCESS or an error code.
struct SubKey {
  std::u16string name;
  std::string entry;  // directory entry name
};
DWORD ListSubKeys(int dirfd, std::vector<SubKey>& out);
// Finds the sub-key named name (case-insensitively); ERROR_FILE_NOT_FOUND when
// there is none. entry receives its directory entry name.
DWORD FindSubKey(int dirfd, std::u16string_view name, std::string& entry);

// Exclusive lock on the key directory, taken through a descriptor of its own
// so that threads of one process exclude each other as processes do. Waits
// at most KeyLockTimeoutMs for another holder; then status() is
// ERROR_TIMEOUT and nothing is changed.
inline constexpr int kKeyLockTimeoutMs = 5000;
// kKeyLockTimeoutMs, or CORV_REGISTRY_LOCK_TIMEOUT_MS when set (tests).
int KeyLockTimeoutMs();
class KeyLock {
 public:
  // Throws std::bad_alloc or std::system_error when no memory or thread is
  // left for a wait; nothing is held then.
  explicit KeyLock(int dirfd);
  ~KeyLock();
  KeyLock(const KeyLock&) = delete;
  KeyLock& operator=(const KeyLock&) = delete;
  // ERROR_SUCCESS, or the error that kept the lock from being taken.
  DWORD status() const { return status_; }

 private:
  void Take(int dirfd);
  int fd_ = -1;
  DWORD status_ = ERROR_SUCCESS;
};

// True when the directory behind dirfd has been removed.
bool IsDeleted(int dirfd);

// ---- Values file -------------------------------------------------------------
// Reads the key's values. A missing file is an empty key. A file that does not
// parse as a values file gives ERROR_BADDB and leaves out empty; a read error
// gives ERROR_CANTREAD.
DWORD LoadValues(int dirfd, std::vector<Value>& out);
// Replaces the values file atomically (temporary file, fsync, rename, fsync of
// the directory). The caller holds the KeyLock. ERROR_CANTWRITE on I/O
// failure, ERROR_KEY_DELETED when the key directory is gone, and
// ERROR_NOT_ENOUGH_MEMORY when the file would exceed kMaxValuesFileBytes; the
// old file is then left as it was.
DWORD StoreValues(int dirfd, const std::vector<Value>& values);

// Serialisation, exposed for tests of the file format.
std::string SerializeValues(const std::vector<Value>& values);
// False when text is not a well-formed values file.
bool ParseValues(std::string_view text, std::vector<Value>& out);

// Last-write time of the key as a Windows FILETIME count (100 ns since 1601).
std::uint64_t KeyWriteTime(int dirfd);

}  // namespace platform::regstore
