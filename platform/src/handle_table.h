// Win32 handles of this process: opaque numbers that map to kernel-object
// stand-ins. Numbers are never reused, so a stale or forged HANDLE is simply
// not found (ERROR_INVALID_HANDLE) instead of touching freed memory.
#pragma once

#include <memory>

#include "platform/win32.h"

namespace platform::detail {

struct KernelObject {
  virtual ~KernelObject() = default;
};

// Returns null (last error ERROR_NOT_ENOUGH_MEMORY) when the numbers or the
// memory for the table ran out; then the object is released here, as a
// CloseHandle would release it. Never throws.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object) noexcept;
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// Detaches the object from its number; null when the handle is unknown.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

}  // namespace platform::detail
