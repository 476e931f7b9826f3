// How long the host's stop takes (closing a control area with N blocks)
// while a peer that holds the shared-memory lock file is stopped (SIGSTOP,
// as Ctrl-Z stops velmar), against the same stop with nobody holding it,
// measured in the same run. Prints medians of a few runs and the ratio.
//
//   livelink_stop_bench [blocks...]      default: 3 30 300
#include <benchmark/benchmark.h>  // linked like every bench; not used for timing here

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "isolation.h"
#include "livelink/live_connection.h"
#include "platform/win32.h"

namespace {

using Clock = std::chrono::steady_clock;

// A child that takes the lock file and stops itself holding it.
pid_t StartStoppedHolder() {
  const std::string path = platform::RuntimeDirectory() + "/shm.lock";
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
    ::raise(SIGSTOP);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, WUNTRACED);
  return child;
}

void EndHolder(pid_t child) {
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
}

// One stop: Create with the given number of blocks, then (optionally with a
// stopped holder) time Close.
double StopSeconds(int blocks, bool stoppedPeer) {
  CorvantaAPI::LiveConnection connection;
  if (connection.Create(livelink_test::UniqueName("stopbench"), 64) != CorvantaAPI::CreateResult::kOk) {
    std::fprintf(stderr, "Create failed\n");
    std::exit(1);
  }
  CorvantaAPI::Record* owner = connection.CreateRecord(CorvantaAPI::kTypeSurface);
  for (int i = 0; i < blocks; ++i) {
    const std::uint32_t id = connection.CreateBlock(owner->id, 4096);
    if (id == 0 || connection.OpenBlock(id) == nullptr) {
      std::fprintf(stderr, "CreateBlock failed\n");
      std::exit(1);
    }
  }
  const pid_t holder = stoppedPeer ? StartStoppedHolder() : 0;
  const auto start = Clock::now();
  connection.Close();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (holder) EndHolder(holder);
  return seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  livelink_test::Isolated();
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {3, 30, 300};
  const char* runsText = std::getenv("STOP_BENCH_RUNS");
  const int runs = runsText ? std::max(1, std::atoi(runsText)) : 5;
  std::printf("%8s %14s %14s %10s\n", "blocks", "free lock ms", "stopped ms", "ratio");
  for (int blocks : counts) {
    std::vector<double> free, stopped;
    for (int r = 0; r < runs; ++r) {
      free.push_back(StopSeconds(blocks, false));
      stopped.push_back(StopSeconds(blocks, true));
    }
    const double f = Median(free) * 1e3, s = Median(stopped) * 1e3;
    std::printf("%8d %14.3f %14.3f %10.2f\n", blocks, f, s, f > 0 ? s / f : 0.0);
    std::fflush(stdout);
  }
  return 0;
}
