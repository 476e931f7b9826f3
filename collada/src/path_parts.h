// The folder and the name of a path the export was given, UTF-8 (char) or
// UTF-16 (char16_t). Which characters separate is util's to say
// (util::IsPathSeparator: "\" too on Windows, as the save dialog writes
// paths there; on Linux it is an ordinary character of a name).
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "util/files.h"

namespace collada {

// Separators are ASCII: a UTF-8 unit is one when the same UTF-16 unit is.
template <typename Unit>
bool IsPathSeparator(Unit c) {
  const auto unit = static_cast<std::make_unsigned_t<Unit>>(c);
  return unit < 0x80 && util::IsPathSeparator(static_cast<char16_t>(unit));
}

// Where the last separator is; npos when there is none.
inline std::size_t LastSeparator(std::string_view path) {
  for (std::size_t i = path.size(); i > 0; --i)
    if (IsPathSeparator(path[i - 1])) return i - 1;
  return std::string_view::npos;
}
inline std::size_t LastSeparator(std::u16string_view path) { return util::LastPathSeparator(path); }

// "." for a bare name, the root for a name in it ("/", or "C:\" with its
// separator on Windows, where "C:" alone is the drive's current folder).
inline std::string FolderOf(const std::string& path) {
  const std::size_t slash = LastSeparator(path);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return path.substr(0, 1);
#ifdef _WIN32
  if (slash == 2 && path[1] == ':') return path.substr(0, 3);
#endif
  return path.substr(0, slash);
}

inline std::string NameOf(const std::string& path) {
  const std::size_t slash = LastSeparator(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace collada
