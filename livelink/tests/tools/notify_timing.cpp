// Times Notify to the wake-up's arrival in another process, on whichever
// platform it is built for: the window tool (a real window of velmar's
// class, from a program whose path names velmar) reports each posted
// message on its output, and the round trip is measured up to that line.
// Prints the median and 99th percentile in microseconds. Information only:
// the Windows figure under Wine includes Wine's own cost.
//
//   notify_timing WINDOW_TOOL [COUNT]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "child_process.h"
#include "isolation.h"
#include "livelink/live_connection.h"

int main(int argc, char** argv) {
  if (argc < 2) return std::fprintf(stderr, "usage: notify_timing WINDOW_TOOL [COUNT]\n"), 2;
  const int count = argc > 2 ? std::atoi(argv[2]) : 1000;
  livelink_test::Isolated();  // its own runtime folder: no other renderer is woken
  CorvantaAPI::LiveConnection link;
  if (link.Create(livelink_test::UniqueName("notify-timing"), 64) != CorvantaAPI::CreateResult::kOk)
    return std::fprintf(stderr, "Create failed\n"), 1;
  auto renderer = livelink_test::ChildProcess::Start(argv[1], {"VELMAR_START_WINDOW", "Velmar"});
  if (renderer == nullptr || renderer->WaitFor("hwnd", 10000).empty())
    return std::fprintf(stderr, "the window tool did not start\n"), 1;
  std::vector<double> micros;
  std::string line;
  for (int i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (link.Notify(CorvantaAPI::kNotifyChanged, 0) != 0) return std::fprintf(stderr, "Notify found no window\n"), 1;
    if (renderer->WaitFor("msg", 5000).empty())
      return std::fprintf(stderr, "no wake-up (%zu renderer windows)\n", CorvantaAPI::FindRendererWindows().size()), 1;
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  std::printf("notify to wake-up: median %.1f us, p99 %.1f us, %d samples\n", micros[micros.size() / 2],
              micros[std::min(micros.size() - 1, micros.size() * 99 / 100)], count);
  return 0;
}
