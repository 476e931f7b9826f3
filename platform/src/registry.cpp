// The Win32 registry functions over the file-backed store: handles, roots,
// key paths, access rights and the buffer rules callers rely on.
#include "base/utf.h"
#include "registry_store.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace {

using namespace platform::regstore;
using platform::detail::UniqueFd;

// An open key: a directory descriptor keeps the handle on its own key even if
// keys around it are created or deleted by other processes.
struct OpenKey {
  int dirfd = -1;
  REGSAM access = 0;
  bool root = false;
  std::string entry;  // directory entry name in the parent (empty for a root)
  ~OpenKey() {
    if (dirfd >= 0) ::close(dirfd);
  }
};
using KeyPtr = std::shared_ptr<OpenKey>;

std::mutex g_tableMutex;
std::unordered_map<std::uintptr_t, KeyPtr> g_table;
// Handle values are never reused, so a stale handle is refused rather than
// reaching some later key. They stay far below the predefined roots.
std::uintptr_t g_nextHandle = 0x10000;

LSTATUS Fail(DWORD code) {
  if (code != ERROR_SUCCESS) SetLastError(code);
  return static_cast<LSTATUS>(code);
}

// The registry functions are C calls: a key or value the process has no
// memory for is their ERROR_NOT_ENOUGH_MEMORY, never an
// exception through the caller. What a call held when it failed is closed
// by its owners on the way out.
template <typename Call>
LSTATUS Guarded(Call call) noexcept {
  try {
    return call();
  } catch (const std::exception&) {  // std::bad_alloc, or no thread for a lock's wait
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

DWORD ErrnoToStatus(int e, bool writing) {
  switch (e) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
  }
}

bool IsRoot(HKEY key) { return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE; }

std::string RootDirectory(HKEY key) {
  auto env = [](const char* name) -> std::string {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
  };
  if (key == HKEY_LOCAL_MACHINE) {
    std::string d = env("CORV_REGISTRY_HKLM");
    return d.empty() ? std::string("/var/lib/corvanta/registry") : d;
  }
  std::string d = env("CORV_REGISTRY_HKCU");
  if (!d.empty()) return d;
  std::string base = env("XDG_CONFIG_HOME");
  if (base.empty() || base[0] != '/') {
    std::string home = env("HOME");
    if (home.empty()) {
      if (const struct passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
      }
    }
    if (home.empty()) return {};
    base = home + "/.config";
  }
  return base + "/corvanta/registry";
}

// Creates every missing directory of path (like mkdir -p).
bool MakeDirectories(const std::string& path, mode_t mode) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  return true;
}

// Opens a predefined root as a key; create makes its directory when missing.
DWORD OpenRoot(HKEY key, bool create, KeyPtr& out) {
  std::string dir = RootDirectory(key);
  if (dir.empty()) return ERROR_PATH_NOT_FOUND;
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT && create) {
    if (!MakeDirectories(dir, key == HKEY_LOCAL_MACHINE ? 0755 : 0700)) return ErrnoToStatus(errno, true);
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd < 0) return ErrnoToStatus(errno, false);
  UniqueFd held(fd);
  out = std::make_shared<OpenKey>();
  out->dirfd = held.release();
  out->access = KEY_ALL_ACCESS;
  out->root = true;
  return ERROR_SUCCESS;
}

// The open key behind a handle. For a root, opens it on each call so that the
// environment decides (tests move the roots before their first call).
DWORD Resolve(HKEY key, bool create, KeyPtr& out) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (IsRoot(key)) return OpenRoot(key, create, out);
  std::lock_guard<std::mutex> lock(g_tableMutex);
  auto it = g_table.find(reinterpret_cast<std::uintptr_t>(key));
  if (it == g_table.end()) return ERROR_INVALID_HANDLE;
  out = it->second;
  return ERROR_SUCCESS;
}

// Throws std::bad_alloc when the table cannot grow; the key is then closed.
HKEY Publish(KeyPtr k) {
  std::lock_guard<std::mutex> lock(g_tableMutex);
  const std::uintptr_t h = g_nextHandle;
  g_table.emplace(h, std::move(k));
  g_nextHandle += 4;
  return reinterpret_cast<HKEY>(h);
}

// Splits a key path at "\". A trailing "\" is allowed; an empty component
// elsewhere is not (Windows refuses a leading "\" too).
DWORD SplitPath(LPCWSTR subKey, std::vector<std::u16string>& parts) {
  parts.clear();
  if (subKey == nullptr) return ERROR_SUCCESS;
  std::u16string_view path(subKey);
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  if (path.empty()) return ERROR_SUCCESS;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find(u'\\', start);
    std::u16string_view part =
        path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
    parts.emplace_back(part);
    if (end == std::u16string_view::npos) return ERROR_SUCCESS;
    start = end + 1;
  }
}

DWORD OpenChild(int parentfd, const std::string& entry, int& fd) {
  fd = ::openat(parentfd, entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return fd < 0 ? ErrnoToStatus(errno, false) : ERROR_SUCCESS;
}

// Walks parts below base. With create, missing keys are made (each under the
// lock of its parent, so that two processes creating "A" and "a" at once end
// up with one key). created tells whether the last key was new.
DWORD Walk(const KeyPtr& base, const std::vector<std::u16string>& parts, bool create, KeyPtr& out, bool* created) {
  if (created != nullptr) *created = false;
  if (IsDeleted(base->dirfd)) return ERROR_KEY_DELETED;
  UniqueFd held(::dup(base->dirfd));
  if (!held.valid()) return ErrnoToStatus(errno, false);
  std::string entry = base->entry;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const int cur = held.get();
    bool last = i + 1 == parts.size();
    if (EncodeKeyName(parts[i]).empty()) return ERROR_INVALID_PARAMETER;
    DWORD rc = FindSubKey(cur, parts[i], entry);
    if (rc == ERROR_FILE_NOT_FOUND && create) {
      KeyLock lock(cur);
      rc = lock.status();
      if (rc == ERROR_SUCCESS) {
        rc = FindSubKey(cur, parts[i], entry);
        if (rc == ERROR_FILE_NOT_FOUND) {
          entry = EncodeKeyName(parts[i]);
          struct stat st;
          mode_t mode = (::fstat(cur, &st) == 0) ? (st.st_mode & 07777) : 0700;
          if (::mkdirat(cur, entry.c_str(), mode) == 0) {
            rc = ERROR_SUCCESS;
            if (last && created != nullptr) *created = true;
          } else if (errno == EEXIST) {
            rc = ERROR_SUCCESS;  // made by someone who does not take our locks
          } else {
            rc = errno == ENOENT ? ERROR_KEY_DELETED : ErrnoToStatus(errno, true);
          }
        }
      }
    }
    int next = -1;
    if (rc == ERROR_SUCCESS) rc = OpenChild(cur, entry, next);
    held.reset(next);
    if (rc != ERROR_SUCCESS) return rc;
  }
  auto key = std::make_shared<OpenKey>();
  key->entry = std::move(entry);
  key->dirfd = held.release();
  key->root = parts.empty() && base->root;
  out = std::move(key);
  return ERROR_SUCCESS;
}

std::u16string_view NameOf(LPCWSTR valueName) {
  return valueName == nullptr ? std::u16string_view() : std::u16string_view(valueName);
}

std::vector<Value>::iterator FindValue(std::vector<Value>& values, std::u16string_view name) {
  return std::find_if(values.begin(), values.end(), [&](const Value& v) { return EqualNoCase(v.name, name); });
}

// Copies data under the Win32 size rules: no buffer gives the size, a
// too-small buffer gives ERROR_MORE_DATA and the size needed.
DWORD CopyData(const std::vector<BYTE>& data, BYTE* out, DWORD* outBytes) {
  if (outBytes == nullptr) return ERROR_SUCCESS;
  auto size = static_cast<DWORD>(data.size());
  if (out != nullptr) {
    if (*outBytes < size) {
      *outBytes = size;
      return ERROR_MORE_DATA;
    }
    if (size != 0) std::memcpy(out, data.data(), size);
  }
  *outBytes = size;
  return ERROR_SUCCESS;
}

// Copies a name with its NUL when it fits; the count is left alone when not.
DWORD CopyName(std::u16string_view name, LPWSTR out, DWORD* chars) {
  if (*chars <= name.size()) return ERROR_MORE_DATA;
  std::copy(name.begin(), name.end(), out);
  out[name.size()] = u'\0';
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

void StoreFileTime(void* where, std::uint64_t t) {
  if (where == nullptr) return;
  DWORD parts[2] = {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};  // FILETIME layout
  std::memcpy(where, parts, sizeof parts);
}

DWORD OpenKeyImpl(HKEY key, LPCWSTR subKey, REGSAM access, bool create, HKEY* result, DWORD* disposition) {
  std::vector<std::u16string> parts;
  if (DWORD rc = SplitPath(subKey, parts); rc != ERROR_SUCCESS) return rc;
  KeyPtr base;
  if (DWORD rc = Resolve(key, create, base); rc != ERROR_SUCCESS) return rc;
  bool mayCreate = create && (base->access & KEY_CREATE_SUB_KEY) != 0;
  KeyPtr opened;
  bool created = false;
  DWORD rc = Walk(base, parts, mayCreate, opened, &created);
  if (rc == ERROR_FILE_NOT_FOUND && create && !mayCreate) rc = ERROR_ACCESS_DENIED;
  if (rc != ERROR_SUCCESS) return rc;
  opened->access = access;
  *result = Publish(std::move(opened));
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

// Read-modify-write of a key's values under its lock; edit returns the
// result, and the file is rewritten only when it returns ERROR_SUCCESS.
template <typename Edit>
DWORD ModifyValues(HKEY key, Edit edit) {
  KeyPtr k;
  if (DWORD rc = Resolve(key, true, k); rc != ERROR_SUCCESS) return rc;
  if ((k->access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  KeyLock lock(k->dirfd);
  if (lock.status() != ERROR_SUCCESS) return lock.status();
  std::vector<Value> values;
  // A damaged file is never replaced: its values stay there for the user to
  // recover, and the writer learns about it.
  if (DWORD rc = LoadValues(k->dirfd, values); rc != ERROR_SUCCESS) return rc;
  if (DWORD rc = edit(values); rc != ERROR_SUCCESS) return rc;
  return StoreValues(k->dirfd, values);
}

DWORD ReadValues(HKEY key, REGSAM need, KeyPtr& k, std::vector<Value>& values) {
  if (DWORD rc = Resolve(key, false, k); rc != ERROR_SUCCESS) return rc;
  if ((k->access & need) != need) return ERROR_ACCESS_DENIED;
  return LoadValues(k->dirfd, values);
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD /*options*/, REGSAM access, HKEY* result) {
  return Guarded([&]() -> LSTATUS {
    if (result == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    return Fail(OpenKeyImpl(key, subKey, access, false, result, nullptr));
  });
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR /*keyClass*/, DWORD /*options*/, REGSAM access,
                        void* /*security*/, HKEY* result, DWORD* disposition) {
  return Guarded([&]() -> LSTATUS {
    if (result == nullptr || subKey == nullptr || reserved != 0) return Fail(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    return Fail(OpenKeyImpl(key, subKey, access, true, result, disposition));
  });
}

LSTATUS RegCloseKey(HKEY key) {
  return Guarded([&]() -> LSTATUS {
    if (IsRoot(key)) return ERROR_SUCCESS;
    KeyPtr k;
    {
      std::lock_guard<std::mutex> lock(g_tableMutex);
      auto it = g_table.find(reinterpret_cast<std::uintptr_t>(key));
      if (it == g_table.end()) return Fail(ERROR_INVALID_HANDLE);
      k = std::move(it->second);
      g_table.erase(it);
    }
    // The descriptor closes when the last user of k (maybe another thread in
    // the middle of a call) lets go.
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataBytes) {
  return Guarded([&]() -> LSTATUS {
    if (reserved != nullptr || (data != nullptr && dataBytes == nullptr)) return Fail(ERROR_INVALID_PARAMETER);
    KeyPtr k;
    std::vector<Value> values;
    if (DWORD rc = ReadValues(key, KEY_QUERY_VALUE, k, values); rc != ERROR_SUCCESS) return Fail(rc);
    auto it = FindValue(values, NameOf(valueName));
    if (it == values.end()) return Fail(ERROR_FILE_NOT_FOUND);
    if (type != nullptr) *type = it->type;
    return Fail(CopyData(it->data, data, dataBytes));
  });
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataBytes) {
  return Guarded([&]() -> LSTATUS {
    if (reserved != 0 || (data == nullptr && dataBytes != 0)) return Fail(ERROR_INVALID_PARAMETER);
    std::u16string_view name = NameOf(valueName);
    // Names must be storable text: a lone surrogate could not be written back.
    if (name.size() > kMaxValueNameUnits || !base::ToUtf8Strict(name)) return Fail(ERROR_INVALID_PARAMETER);
    Value v{std::u16string(name), type, std::vector<BYTE>(data, data + dataBytes)};
    return Fail(ModifyValues(key, [&](std::vector<Value>& values) -> DWORD {
      auto it = FindValue(values, name);
      if (it == values.end()) {
        values.push_back(std::move(v));
      } else {
        // The first spelling of the name and its place in the order stay.
        it->type = v.type;
        it->data = std::move(v.data);
      }
      return ERROR_SUCCESS;
    }));
  });
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  return Guarded([&]() -> LSTATUS {
    std::u16string_view name = NameOf(valueName);
    return Fail(ModifyValues(key, [&](std::vector<Value>& values) -> DWORD {
      auto it = FindValue(values, name);
      if (it == values.end()) return ERROR_FILE_NOT_FOUND;
      values.erase(it);
      return ERROR_SUCCESS;
    }));
  });
}

LSTATUS platform::ReadRegistryValues(HKEY key, std::vector<RegistryValue>* out) {
  return Guarded([&]() -> LSTATUS {
    if (out == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    out->clear();
    KeyPtr k;
    std::vector<Value> values;
    if (DWORD rc = ReadValues(key, KEY_QUERY_VALUE, k, values); rc != ERROR_SUCCESS) return Fail(rc);
    out->reserve(values.size());
    for (auto& v : values) out->push_back({std::move(v.name), v.type, std::move(v.data)});
    return ERROR_SUCCESS;
  });
}

LSTATUS platform::DeleteRegistryValues(HKEY key, const std::vector<std::u16string>& names) {
  return Guarded([&]() -> LSTATUS {
    return Fail(ModifyValues(key, [&](std::vector<Value>& values) -> DWORD {
      bool removed = false;
      for (const auto& name : names) {
        auto it = FindValue(values, name);
        if (it == values.end()) continue;
        values.erase(it);
        removed = true;
      }
      return removed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }));
  });
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  return Guarded([&]() -> LSTATUS {
    if (subKey == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<std::u16string> parts;
    if (DWORD rc = SplitPath(subKey, parts); rc != ERROR_SUCCESS) return Fail(rc);
    KeyPtr base;
    if (DWORD rc = Resolve(key, false, base); rc != ERROR_SUCCESS) return Fail(rc);
    KeyPtr parent;
    std::string entry;
    if (parts.empty()) {
      // An empty path deletes the handle's own key; a root cannot go.
      if (base->root || base->entry.empty()) return Fail(ERROR_ACCESS_DENIED);
      UniqueFd pfd(::openat(base->dirfd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!pfd.valid()) return Fail(ErrnoToStatus(errno, false));
      parent = std::make_shared<OpenKey>();
      parent->dirfd = pfd.release();
      entry = base->entry;
    } else {
      std::vector<std::u16string> up(parts.begin(), parts.end() - 1);
      if (DWORD rc = Walk(base, up, false, parent, nullptr); rc != ERROR_SUCCESS) return Fail(rc);
    }
    // The parent's lock keeps a concurrent create of the same name out.
    KeyLock parentLock(parent->dirfd);
    if (parentLock.status() != ERROR_SUCCESS) return Fail(parentLock.status());
    if (!parts.empty()) {
      if (DWORD rc = FindSubKey(parent->dirfd, parts.back(), entry); rc != ERROR_SUCCESS) return Fail(rc);
    }
    int fd = -1;
    if (DWORD rc = OpenChild(parent->dirfd, entry, fd); rc != ERROR_SUCCESS) return Fail(rc);
    OpenKey target;
    target.dirfd = fd;
    KeyLock lock(fd);  // waits for a writer of the key's values to finish
    if (lock.status() != ERROR_SUCCESS) return Fail(lock.status());
    std::vector<SubKey> subs;
    if (DWORD rc = ListSubKeys(fd, subs); rc != ERROR_SUCCESS) return Fail(rc);
    if (!subs.empty()) return Fail(ERROR_ACCESS_DENIED);  // as Windows: sub-keys first
    ::unlinkat(fd, kValuesTemp, 0);
    if (::unlinkat(fd, kValuesFile, 0) != 0 && errno != ENOENT) return Fail(ErrnoToStatus(errno, true));
    if (::unlinkat(parent->dirfd, entry.c_str(), AT_REMOVEDIR) != 0) {
      // Something that is not ours lives in the directory: leave it be.
      return Fail(errno == ENOTEMPTY || errno == EEXIST ? ERROR_ACCESS_DENIED : ErrnoToStatus(errno, true));
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, DWORD* classChars, DWORD* reserved, DWORD* subKeys,
                         DWORD* maxSubKeyChars, DWORD* maxClassChars, DWORD* values, DWORD* maxValueNameChars,
                         DWORD* maxValueBytes, DWORD* securityBytes, void* lastWriteTime) {
  return Guarded([&]() -> LSTATUS {
    if (reserved != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    KeyPtr k;
    std::vector<Value> vals;
    if (DWORD rc = ReadValues(key, KEY_QUERY_VALUE, k, vals); rc != ERROR_SUCCESS) return Fail(rc);
    std::vector<SubKey> subs;
    if (subKeys != nullptr || maxSubKeyChars != nullptr) {
      if (DWORD rc = ListSubKeys(k->dirfd, subs); rc != ERROR_SUCCESS) return Fail(rc);
    }
    // Keys carry no class text.
    if (keyClass != nullptr && classChars != nullptr) {
      if (*classChars == 0) return Fail(ERROR_MORE_DATA);
      keyClass[0] = u'\0';
    }
    if (classChars != nullptr) *classChars = 0;
    if (subKeys != nullptr) *subKeys = static_cast<DWORD>(subs.size());
    if (maxSubKeyChars != nullptr) {
      std::size_t m = 0;
      for (auto& s : subs) m = std::max(m, s.name.size());
      *maxSubKeyChars = static_cast<DWORD>(m);
    }
    if (maxClassChars != nullptr) *maxClassChars = 0;
    if (values != nullptr) *values = static_cast<DWORD>(vals.size());
    std::size_t maxName = 0;
    std::size_t maxData = 0;
    for (auto& v : vals) {
      maxName = std::max(maxName, v.name.size());
      maxData = std::max(maxData, v.data.size());
    }
    if (maxValueNameChars != nullptr) *maxValueNameChars = static_cast<DWORD>(maxName);
    if (maxValueBytes != nullptr) *maxValueBytes = static_cast<DWORD>(maxData);
    if (securityBytes != nullptr) *securityBytes = 0;
    StoreFileTime(lastWriteTime, KeyWriteTime(k->dirfd));
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, DWORD* valueNameChars, DWORD* reserved, DWORD* type,
                      BYTE* data, DWORD* dataBytes) {
  return Guarded([&]() -> LSTATUS {
    if (valueName == nullptr || valueNameChars == nullptr || reserved != nullptr ||
        (data != nullptr && dataBytes == nullptr)) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    KeyPtr k;
    std::vector<Value> values;
    if (DWORD rc = ReadValues(key, KEY_QUERY_VALUE, k, values); rc != ERROR_SUCCESS) return Fail(rc);
    if (index >= values.size()) return Fail(ERROR_NO_MORE_ITEMS);
    const Value& v = values[index];
    DWORD nameRc = CopyName(v.name, valueName, valueNameChars);
    if (type != nullptr) *type = v.type;
    DWORD dataRc = CopyData(v.data, data, dataBytes);
    return Fail(nameRc != ERROR_SUCCESS ? nameRc : dataRc);
  });
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameChars, DWORD* reserved, LPWSTR keyClass,
                      DWORD* classChars, void* lastWriteTime) {
  return Guarded([&]() -> LSTATUS {
    if (name == nullptr || nameChars == nullptr || reserved != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    KeyPtr k;
    if (DWORD rc = Resolve(key, false, k); rc != ERROR_SUCCESS) return Fail(rc);
    if ((k->access & KEY_ENUMERATE_SUB_KEYS) == 0) return Fail(ERROR_ACCESS_DENIED);
    if (IsDeleted(k->dirfd)) return Fail(ERROR_KEY_DELETED);
    std::vector<SubKey> subs;
    if (DWORD rc = ListSubKeys(k->dirfd, subs); rc != ERROR_SUCCESS) return Fail(rc);
    if (index >= subs.size()) return Fail(ERROR_NO_MORE_ITEMS);
    if (DWORD rc = CopyName(subs[index].name, name, nameChars); rc != ERROR_SUCCESS) return Fail(rc);
    if (keyClass != nullptr && classChars != nullptr && *classChars > 0) keyClass[0] = u'\0';
    if (classChars != nullptr) *classChars = 0;
    if (lastWriteTime != nullptr) {
      int fd = -1;
      std::uint64_t t = 0;
      if (OpenChild(k->dirfd, subs[index].entry, fd) == ERROR_SUCCESS) {
        t = KeyWriteTime(fd);
        ::close(fd);
      }
      StoreFileTime(lastWriteTime, t);
    }
    return ERROR_SUCCESS;
  });
}
