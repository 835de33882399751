// CRC-32C throughput of the instruction-based and the table-based update on a
// page-sized and a large buffer.
#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>

#include "util/crc32c.h"

namespace {

using corvantine::util::crc32c::ExtendHardware;
using corvantine::util::crc32c::ExtendPortable;
using corvantine::util::crc32c::HardwareAvailable;

void RunCrc(benchmark::State& state, uint32_t (*extend)(uint32_t, const void*, size_t)) {
  const std::string buffer(static_cast<size_t>(state.range(0)), 'x');
  uint32_t crc = 0;
  for (auto _ : state) {
    crc = extend(crc, buffer.data(), buffer.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc32cHardware(benchmark::State& state) {
  if (!HardwareAvailable()) {
    state.SkipWithError("no CRC-32C instruction on this processor");
    return;
  }
  RunCrc(state, &ExtendHardware);
}

void BM_Crc32cTable(benchmark::State& state) { RunCrc(state, &ExtendPortable); }

BENCHMARK(BM_Crc32cHardware)->Arg(4 << 10)->Arg(1 << 20);
BENCHMARK(BM_Crc32cTable)->Arg(4 << 10)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
