// From Notify in the publisher to velmar's report of the wake-up, with a
// real velmar process following a real link: median and 99th percentile
// of the round trip, as counters.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "child_process.h"
#include "isolation.h"
#include "livelink/live_connection.h"

namespace {

using Clock = std::chrono::steady_clock;

void BM_NotifyToVelmarWakeUp(benchmark::State& state) {
  CorvantaAPI::LiveConnection link;
  const std::u16string name = livelink_test::UniqueName("notify-bench");
  if (link.Create(name, 5000) != CorvantaAPI::CreateResult::kOk) {
    state.SkipWithError("Create failed");
    return;
  }
  link.UpdateStatus({{u"toolName", {0, u"bench"}}});
  if (link.Announce() != 0) {
    state.SkipWithError("Announce failed");
    return;
  }
  auto velmar = livelink_test::ChildProcess::Start(VELMAR_PROGRAM,
                                                   {"--json", "run", "--link", std::string(name.begin(), name.end())});
  if (velmar == nullptr) {
    state.SkipWithError("velmar cannot be started");
    return;
  }
  std::string line;
  bool opened = false;
  while (!opened && velmar->ReadLine(&line, 10000)) opened = line.find("\"event\":\"opened\"") != std::string::npos;
  if (!opened) {
    state.SkipWithError("velmar did not open the link");
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (link.Notify(CorvantaAPI::kNotifyChanged, 0) != 0) {
      state.SkipWithError("Notify found no velmar");
      break;
    }
    bool woke = false;
    while (!woke && velmar->ReadLine(&line, 5000)) woke = line.find("\"event\":\"wake\"") != std::string::npos;
    if (!woke) {
      state.SkipWithError("velmar did not report the wake-up");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  if (!micros.empty()) {
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    state.counters["samples"] = static_cast<double>(micros.size());
  }
  velmar->Signal(SIGINT);
  velmar->Wait(5000);
}

}  // namespace

BENCHMARK(BM_NotifyToVelmarWakeUp)->Unit(benchmark::kMicrosecond)->Iterations(1000);

int main(int argc, char** argv) {
  livelink_test::Isolated();  // no other renderer is woken, none answers
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
