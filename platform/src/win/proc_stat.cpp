// What Windows says about a process for the link's lock takeover: whether
// it still runs, and its creation time, which tells it from a later process
// given the same id.
#include "platform/proc_stat.h"

#include "platform/win32.h"

namespace platform::detail {

bool ReadProcStat(std::uint32_t pid, ProcStat* out) {
  if (out == nullptr || pid == 0) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return false;
  FILETIME created{}, exited{}, kernel{}, user{};
  const bool ok = GetProcessTimes(process, &created, &exited, &kernel, &user);
  // Signalled once it ended: a process still held open by someone reads as
  // a zombie does on Linux. (An exit code cannot tell: 259 is a valid one.)
  const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  if (!ok) return false;
  out->state = ended ? 'Z' : 'R';
  out->startTime = (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  return true;
}

bool ProcessIsAlive(std::uint32_t pid, std::uint64_t startTime) {
  ProcStat stat;
  return ReadProcStat(pid, &stat) && stat.state != 'Z' && stat.startTime == startTime;
}

}  // namespace platform::detail
