// A child process's peak resident memory (VmHWM), read while it still
// runs: how much of the machine a program under benchmark took at most.
// Returns a negative number when the process is gone or the kernel does not
// say.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

namespace bench {

inline double PeakResidentMB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;  // given in kB
  return -1;
}

}  // namespace bench
