#include "mapped_file.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <limits>

#include "base/utf.h"
#include "base/windows_text.h"

namespace hostmodel::detail {

MappedFile::MappedFile(const std::string& path) {
  const HANDLE file = ::CreateFileW(base::ToWide(base::FromUtf8(path)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  file_ = reinterpret_cast<std::intptr_t>(file);
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size) || size.QuadPart < 0 ||
      static_cast<std::uint64_t>(size.QuadPart) > std::numeric_limits<std::size_t>::max())
    return;
  size_ = static_cast<std::size_t>(size.QuadPart);
  // A section cannot be empty: an empty file is read as no text.
  if (size_ == 0) {
    ok_ = true;
    return;
  }
  const HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return;
  mapping_ = reinterpret_cast<std::intptr_t>(mapping);
  // The view covers the size found above: a file that grew meanwhile is
  // read as it was, one that shrank cannot be mapped whole and fails here.
  void* view = ::MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size_);
  if (view == nullptr) return;
  data_ = static_cast<const char*>(view);
  ok_ = true;
}

MappedFile::~MappedFile() {
  if (data_) ::UnmapViewOfFile(data_);
  if (mapping_ != 0) ::CloseHandle(reinterpret_cast<HANDLE>(mapping_));
  if (file_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(file_));
}

void Prefault(const char* begin, const char* end) {
  if (begin >= end) return;
  WIN32_MEMORY_RANGE_ENTRY range{const_cast<char*>(begin), static_cast<SIZE_T>(end - begin)};
  ::PrefetchVirtualMemory(::GetCurrentProcess(), 1, &range, 0);
}

}  // namespace hostmodel::detail
