#include "handle_table.h"

#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

namespace platform::detail {
namespace {

struct Table {
  std::mutex mutex;
  // Like Windows, values are multiples of 4; starting high keeps them clear of
  // small integers and of INVALID_HANDLE_VALUE.
  std::uintptr_t next = 0x1000;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
};

Table& TheTable() {
  static Table* t = new Table;  // outlives every static destructor that may close handles
  return *t;
}

std::uintptr_t Key(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) noexcept {
  Table& t = TheTable();
  {
    std::lock_guard lock(t.mutex);
    if (t.next <= UINTPTR_MAX - 8) {
      const std::uintptr_t value = t.next;
      try {
        t.objects.emplace(value, object);
        t.next += 4;
        return reinterpret_cast<HANDLE>(value);
      } catch (const std::bad_alloc&) {
      }
    }
  }
  // Released outside the table lock, as CloseHandle releases it.
  object.reset();
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  Table& t = TheTable();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(Key(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
  Table& t = TheTable();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(Key(handle));
  if (it == t.objects.end()) return nullptr;
  auto object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

}  // namespace platform::detail

BOOL CloseHandle(HANDLE handle) {
  // The object is released outside the table lock: closing a mapping may wait
  // for the per-user lock file.
  auto object = platform::detail::RemoveHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object.reset();
  return TRUE;
}
