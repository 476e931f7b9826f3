// Wall and CPU time of repeated runs of one step, for the benchmarks that
// time a step in process (the host's import, its project file): each run's
// figures kept, medians on demand. Timing cannot fail.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

// The process's CPU time so far, user and system, in seconds.
inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  std::vector<double> wall, cpu;
  static double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
  double MedianWall() const { return Median(wall); }
  double MedianCpu() const { return Median(cpu); }
};

// Runs fn once, adding its wall and CPU time to t; returns what fn returns.
template <typename Fn>
bool Time(Timing& t, Fn&& fn) {
  const double c0 = CpuSeconds();
  const auto w0 = std::chrono::steady_clock::now();
  const bool ok = fn();
  t.wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count());
  t.cpu.push_back(CpuSeconds() - c0);
  return ok;
}

}  // namespace bench
