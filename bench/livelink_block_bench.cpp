// Publishing a 64 MiB geometry block (CreateBlock + OpenBlock + writing the
// bytes + ReleaseBlock) against a plain memcpy of the same bytes, in the
// same run. The ratio says what the named shared memory costs over copying
// into memory that is already mapped.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "isolation.h"
#include "livelink/live_connection.h"

namespace {

constexpr std::size_t kBytes = 64u << 20;

const std::vector<std::uint8_t>& Source() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> data(kBytes);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return data;
  }();
  return bytes;
}

void BM_PublishBlock64MiB(benchmark::State& state) {
  const auto& source = Source();
  CorvantaAPI::LiveConnection connection;
  if (connection.Create(livelink_test::UniqueName("bench"), 64) != CorvantaAPI::CreateResult::kOk) {
    state.SkipWithError("Create failed");
    return;
  }
  CorvantaAPI::Record* owner = connection.CreateRecord(CorvantaAPI::kTypeSurface);
  for (auto _ : state) {
    const std::uint32_t id = connection.CreateBlock(owner->id, static_cast<std::uint32_t>(kBytes));
    void* view = connection.OpenBlock(id);
    if (view == nullptr) {
      state.SkipWithError("CreateBlock/OpenBlock failed");
      break;
    }
    std::memcpy(view, source.data(), kBytes);
    benchmark::ClobberMemory();
    connection.ReleaseBlock(id);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

void BM_Memcpy64MiB(benchmark::State& state) {
  const auto& source = Source();
  std::vector<std::uint8_t> target(kBytes, 1);  // already faulted in
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), kBytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

// A fresh heap buffer per copy: the page faults that a new block pays too.
void BM_MemcpyFreshBuffer64MiB(benchmark::State& state) {
  const auto& source = Source();
  for (auto _ : state) {
    std::unique_ptr<std::uint8_t[]> target(new std::uint8_t[kBytes]);
    std::memcpy(target.get(), source.data(), kBytes);
    benchmark::DoNotOptimize(target.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

}  // namespace

BENCHMARK(BM_PublishBlock64MiB)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Memcpy64MiB)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_MemcpyFreshBuffer64MiB)->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char** argv) {
  livelink_test::Isolated();  // private registry and runtime directory
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
