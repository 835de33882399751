// The JSON index, the built-in projection: how fast it applies documents
// (200-byte bodies, one named index, 1,000,000 documents), what a document
// costs in memory, and how long a get, a range of 100 keys and an index
// lookup of 100 documents take on the full index; and how fast a checkpoint
// of the largest size a snapshot holds is written and read back. Times are
// wall-clock.
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "projection/json_index.h"

namespace {

using namespace corvantine;

constexpr int64_t kDocuments = 1'000'000;
constexpr size_t kBodyBytes = 200;
constexpr int64_t kStates = kDocuments / 100;  // each state names 100 documents

projection::QueryDefinition Definition() {
  return projection::QueryDefinition{"id", {{"by_state", "state"}}, std::nullopt};
}

std::string Key(int64_t n) {
  char key[24];
  std::snprintf(key, sizeof key, "k%08lld", static_cast<long long>(n));
  return key;
}

std::string State(int64_t n) {
  char state[24];
  std::snprintf(state, sizeof state, "s%06lld", static_cast<long long>(n % kStates));
  return state;
}

// {"id":"k00000042","state":"s000042","n":42,"pad":"xx...x"}, 200 bytes.
std::string Body(int64_t n) {
  std::string body = "{\"id\":\"" + Key(n) + "\",\"state\":\"" + State(n) +
                     "\",\"n\":" + std::to_string(n) + ",\"pad\":\"";
  body.append(kBodyBytes - body.size() - 2, 'x');
  return body + "\"}";
}

format::StreamId StreamOf(int64_t n) {
  return format::StreamId(format::IdBytes{static_cast<uint8_t>(n % 16)});
}

size_t HeapInUse() { return mallinfo2().uordblks; }

std::unique_ptr<projection::JsonIndexRuntime> Build(int64_t documents) {
  auto runtime = std::make_unique<projection::JsonIndexRuntime>(Definition());
  for (int64_t n = 0; n < documents; ++n) {
    const std::string body = Body(n);
    if (!runtime->Apply({StreamOf(n), true, body}).ok()) std::abort();
  }
  return runtime;
}

// The full index, built on first use and kept for the rest of the run.
const projection::JsonIndexRuntime& FullIndex() {
  static const std::unique_ptr<projection::JsonIndexRuntime> index = Build(kDocuments);
  return *index;
}

// Each iteration fills a fresh index, its keys in ascending order (argument
// 0) or shuffled (1); the bytes it holds once full, over the document count,
// are its memory per document (bodies included).
void BM_JsonIndexApply(benchmark::State& state) {
  std::vector<std::string> bodies;
  bodies.reserve(kDocuments);
  for (int64_t n = 0; n < kDocuments; ++n) bodies.push_back(Body(n));
  if (state.range(0) == 1) std::shuffle(bodies.begin(), bodies.end(), std::mt19937_64(7));
  std::unique_ptr<projection::JsonIndexRuntime> runtime;
  double bytes_per_document = 0;
  for (auto _ : state) {
    state.PauseTiming();
    runtime.reset();  // freeing the last index is not applying
    const size_t before = HeapInUse();
    state.ResumeTiming();
    runtime = std::make_unique<projection::JsonIndexRuntime>(Definition());
    for (int64_t n = 0; n < kDocuments; ++n) {
      if (!runtime->Apply({StreamOf(n), true, bodies[n]}).ok()) {
        state.SkipWithError("an apply failed");
        return;
      }
    }
    state.PauseTiming();
    bytes_per_document = static_cast<double>(HeapInUse() - before) / kDocuments;
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kDocuments);
  state.counters["bytes_per_document"] = bytes_per_document;
}
BENCHMARK(BM_JsonIndexApply)
    ->ArgName("shuffled")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

template <typename MakeQuery>
void RunQueries(benchmark::State& state, MakeQuery make_query, size_t rows) {
  const projection::JsonIndexRuntime& index = FullIndex();
  std::mt19937_64 random(42);
  for (auto _ : state) {
    const int64_t n = static_cast<int64_t>(random() % (kDocuments - 100));
    projection::ProjectionResult<projection::QueryResult> result = index.Query(make_query(n));
    if (!result.ok() || result->rows.size() != rows) {
      state.SkipWithError("unexpected query result");
      return;
    }
    benchmark::DoNotOptimize(result);
  }
}

void BM_JsonIndexGet(benchmark::State& state) {
  RunQueries(state, [](int64_t n) { return projection::GetQuery{Key(n)}; }, 1);
}
BENCHMARK(BM_JsonIndexGet)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_JsonIndexRange100(benchmark::State& state) {
  RunQueries(state, [](int64_t n) { return projection::RangeQuery{Key(n), Key(n + 100)}; }, 100);
}
BENCHMARK(BM_JsonIndexRange100)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_JsonIndexBy100(benchmark::State& state) {
  RunQueries(state, [](int64_t n) { return projection::ByQuery{"by_state", State(n)}; }, 100);
}
BENCHMARK(BM_JsonIndexBy100)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A checkpoint of about 64 MiB, the largest a snapshot holds: 80,000
// documents of 200 bytes, each byte written as up to three digits and a
// comma. Each iteration writes it and restores it into a fresh index.
void BM_JsonIndexCheckpointRoundTrip(benchmark::State& state) {
  constexpr int64_t kCheckpointDocuments = 80'000;
  const std::unique_ptr<projection::JsonIndexRuntime> index = Build(kCheckpointDocuments);
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string checkpoint = index->Checkpoint().value();
    projection::JsonIndexRuntime restored(Definition());
    if (!restored.RestoreCheckpoint(checkpoint, 0).ok()) {
      state.SkipWithError("a restore failed");
      return;
    }
    bytes = checkpoint.size();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
  state.counters["checkpoint_MiB"] = static_cast<double>(bytes) / (1 << 20);
}
BENCHMARK(BM_JsonIndexCheckpointRoundTrip)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
