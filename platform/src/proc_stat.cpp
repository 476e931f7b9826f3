#include "platform/proc_stat.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "runtime_dir.h"

namespace platform::detail {

bool ReadProcStat(std::uint32_t pid, ProcStat* out) {
  if (pid == 0) return false;
  std::string text;
  if (!ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", &text, 4096)) return false;
  // The command name may hold spaces and parentheses: fields start after the
  // last ")".
  const auto close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  std::size_t pos = close + 2;
  out->state = text[pos];
  // starttime is field 22; the state is field 3.
  for (int field = 3; field < 22; ++field) {
    pos = text.find(' ', pos);
    if (pos == std::string::npos) return false;
    ++pos;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long start = std::strtoull(text.c_str() + pos, &end, 10);
  if (errno != 0 || end == text.c_str() + pos) return false;
  out->startTime = start;
  return true;
}

bool ProcessIsAlive(std::uint32_t pid, std::uint64_t startTime) {
  ProcStat st;
  return ReadProcStat(pid, &st) && st.state != 'Z' && st.state != 'X' && st.startTime == startTime;
}

}  // namespace platform::detail
