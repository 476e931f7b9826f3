// File queries on paths given as UTF-16 text (UTF-8 on disk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace util {

// A path's separator: "/", and on Windows "\" as well (the host's and the
// save dialog's paths use it there; on Linux it is an ordinary character of
// a name). The one place that says so.
bool IsPathSeparator(char16_t c);
// Where the last separator of a path is; npos when there is none.
std::size_t LastPathSeparator(std::u16string_view path);

// True when path names something that is not a directory. False for an
// empty path, a path holding a NUL, or anything that cannot be examined.
bool FileExists(const std::u16string& path);

// One of a file's times as 100-ns intervals since 1601-01-01 UTC: which 0 the
// creation time, 1 the last access, anything else the last write. 0 when the
// file cannot be opened for reading (missing, a directory, no permission).
std::uint64_t GetFileTimeStamp(const std::u16string& path, std::int32_t which);

}  // namespace util
