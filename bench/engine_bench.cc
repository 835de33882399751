// The engine's command round trip: the median time of head() called from a
// thread other than the sequencer, and the throughput of single-event
// appends: buffered from one and from four caller threads, synced from one
// and from eight, whose waits overlap and so share flushes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "facade/engine/engine.h"
#include "testing/test_util.h"

namespace {

using corvantine::facade::AppendBatch;
using corvantine::facade::Engine;
using corvantine::facade::EventData;
using corvantine::facade::OpenConfig;
using corvantine::stream::RequestDurability;

struct Database {
  corvantine::platform::TempDir dir;
  std::optional<Engine> engine;
};
std::unique_ptr<Database> database;

void OpenDatabase(const benchmark::State&) {
  database = std::make_unique<Database>();
  OpenConfig config;
  config.path = database->dir.path();
  database->engine.emplace(std::move(Engine::Open(config)).value());
}

void CloseDatabase(const benchmark::State&) { database.reset(); }

void BM_HeadRoundTrip(benchmark::State& state) {
  const Engine& engine = *database->engine;
  std::vector<int64_t> nanos;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(engine.Head());
    nanos.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count());
  }
  std::nth_element(nanos.begin(), nanos.begin() + nanos.size() / 2, nanos.end());
  state.counters["median_ns"] = static_cast<double>(nanos[nanos.size() / 2]);
}

// One-event appends with `durability`, each thread to a stream of its own.
void AppendEach(benchmark::State& state, RequestDurability durability) {
  const Engine& engine = *database->engine;
  const std::string stream = "bench-" + std::to_string(state.thread_index());
  for (auto _ : state) {
    AppendBatch batch;
    batch.stream = stream;
    batch.events.push_back(EventData::Json(R"({"amount":42,"currency":"EUR"})"));
    batch.durability = durability;
    if (!engine.Append(std::move(batch)).ok()) {
      state.SkipWithError("append failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_BufferedAppend(benchmark::State& state) {
  AppendEach(state, RequestDurability::kBuffered);
}

void BM_SyncedAppend(benchmark::State& state) { AppendEach(state, RequestDurability::kSync); }

BENCHMARK(BM_HeadRoundTrip)->Setup(OpenDatabase)->Teardown(CloseDatabase)->UseRealTime();
BENCHMARK(BM_BufferedAppend)
    ->Setup(OpenDatabase)
    ->Teardown(CloseDatabase)
    ->Threads(1)
    ->Threads(4)
    ->MinTime(0.5)
    ->UseRealTime();
BENCHMARK(BM_SyncedAppend)
    ->Setup(OpenDatabase)
    ->Teardown(CloseDatabase)
    ->Threads(1)
    ->Threads(8)
    ->MinTime(1.0)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
