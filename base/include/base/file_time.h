// Windows file times: 100-ns intervals since 1601-01-01 UTC.
#pragma once

#include <cstdint>

namespace base {

// Seconds from 1601-01-01 to 1970-01-01.
inline constexpr std::int64_t kFileTimeEpochSeconds = 11644473600LL;

// The file time of a POSIX time (seconds and nanoseconds since 1970);
// 0 for a time before 1601, which a file time cannot express.
constexpr std::uint64_t FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
  if (seconds < -kFileTimeEpochSeconds) return 0;
  return static_cast<std::uint64_t>(seconds + kFileTimeEpochSeconds) * 10000000u +
         static_cast<std::uint64_t>(nanoseconds) / 100u;
}

}  // namespace base
