// Named shared memory filled with given bytes, as another process would
// have left it, for the targets that read the link.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace corv_fuzz {

// A named mapping of exactly bytes.size() bytes holding them, alive until
// this object goes (and every view of it is unmapped). Empty bytes make no
// mapping: a zero-sized object cannot exist; nor does a name that exists
// already.
class SharedBytes {
 public:
  SharedBytes(const std::u16string& name, std::string_view bytes) {
    if (bytes.empty()) return;
    handle_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(bytes.size()),
                                 name.c_str());
    if (handle_ == nullptr) return;
    // Block names come from the input (the creator id an area names), so
    // another process may hold one already, of another size: that object
    // is not ours to fill.
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    void* view = existed ? nullptr : MapViewOfFile(handle_, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr || platform::GetViewSize(view) < bytes.size()) {
      if (view != nullptr) UnmapViewOfFile(view);
      CloseHandle(handle_);
      handle_ = nullptr;
      return;
    }
    std::memcpy(view, bytes.data(), bytes.size());
    UnmapViewOfFile(view);
  }
  ~SharedBytes() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  SharedBytes(const SharedBytes&) = delete;
  SharedBytes& operator=(const SharedBytes&) = delete;
  bool ok() const { return handle_ != nullptr; }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace corv_fuzz
