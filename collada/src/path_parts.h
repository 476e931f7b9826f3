// The folder and the name of a path the export was given. A Windows path
// may separate its parts with "\" (as the save dialog writes them) or "/"
// (as the host's locations and the texture references do); on Linux "\" is
// an ordinary character of a name.
#pragma once

#include <string>
#include <string_view>

namespace collada {

// For UTF-8 (char) and UTF-16 (char16_t) paths alike.
template <typename Unit>
bool IsPathSeparator(Unit c) {
#ifdef _WIN32
  return c == Unit('/') || c == Unit('\\');
#else
  return c == Unit('/');
#endif
}

// Where the last separator is; npos when there is none.
template <typename Unit>
std::size_t LastSeparator(std::basic_string_view<Unit> path) {
  for (std::size_t i = path.size(); i > 0; --i)
    if (IsPathSeparator(path[i - 1])) return i - 1;
  return std::basic_string_view<Unit>::npos;
}
inline std::size_t LastSeparator(const std::string& path) { return LastSeparator(std::string_view(path)); }
inline std::size_t LastSeparator(const std::u16string& path) { return LastSeparator(std::u16string_view(path)); }

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
