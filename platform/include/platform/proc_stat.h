// What /proc says about a process: enough to tell a live process from a
// dead one, or from a later process that was given the same id. The one
// reader of /proc/PID/stat; the live link's lock takeover uses it too.
#pragma once

#include <cstdint>

namespace platform::detail {

struct ProcStat {
  char state = '?';             // R, S, D, Z, X, ...
  std::uint64_t startTime = 0;  // clock ticks after boot; unique per pid at any time
};

// False when the process does not exist or /proc/PID/stat is unreadable or
// malformed.
bool ReadProcStat(std::uint32_t pid, ProcStat* out);
// True when pid runs (not a zombie) and started at startTime.
bool ProcessIsAlive(std::uint32_t pid, std::uint64_t startTime);

}  // namespace platform::detail

namespace platform {
using detail::ProcessIsAlive;
using detail::ProcStat;
using detail::ReadProcStat;
}  // namespace platform
