// What the fuzz targets share: cutting one input into the pieces a target
// hands to several readers, and named shared memory filled with given bytes
// as another process would have left it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace corv_fuzz {

// The mark between the pieces of an input (an area and its blocks, a
// request and its frames, a model and its material library). The
// dictionaries carry it, so the fuzzer finds it soon.
inline constexpr std::string_view kPieceMark = "\n--corv-piece--\n";

// The input cut at every mark; at least one piece, possibly empty ones.
inline std::vector<std::string_view> Pieces(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string_view> pieces;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (;;) {
    const std::size_t at = rest.find(kPieceMark);
    if (at == std::string_view::npos) break;
    pieces.push_back(rest.substr(0, at));
    rest.remove_prefix(at + kPieceMark.size());
  }
  pieces.push_back(rest);
  return pieces;
}

// A named mapping of exactly bytes.size() bytes holding them, alive until
// this object goes (and every view of it is unmapped). Empty bytes make no
// mapping: a zero-sized object cannot exist.
class SharedBytes {
 public:
  SharedBytes(const std::u16string& name, std::string_view bytes) {
    if (bytes.empty()) return;
    handle_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                 static_cast<DWORD>(bytes.size()), name.c_str());
    if (handle_ == nullptr) return;
    void* view = MapViewOfFile(handle_, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) {
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

// ASCII text as UTF-16.
inline std::u16string Wide(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace corv_fuzz
