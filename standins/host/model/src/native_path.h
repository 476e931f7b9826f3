// The model library's paths are UTF-8 text on every platform. A file is
// opened through std::filesystem::path made from that text as UTF-8: on
// Linux these are the same bytes; on Windows the path becomes the UTF-16
// name the system takes (a char string there would be read in the ANSI
// code page).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace hostmodel::detail {

inline std::filesystem::path NativePath(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string Utf8Path(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// With "/" between folders on every platform.
inline std::string Utf8GenericPath(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace hostmodel::detail
