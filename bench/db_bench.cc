// The cost of a durable append must not grow with the history: synced
// single-event appends on a database that holds 10,000 events and on one
// that holds 1,000,000 take the same time. Beside them, the floor every
// durable append stands on: one 4 KiB append to a growing file made durable
// with fdatasync, on the same disk in the same run. Times are wall-clock.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "db/db.h"
#include "platform/platform.h"
#include "testing/test_util.h"

namespace {

using namespace corvantine;

stream::AppendRequest SingleEvent(std::string stream, std::string payload,
                                  stream::RequestDurability durability) {
  stream::NewEvent event;
  event.payload = std::move(payload);
  std::vector<stream::NewEvent> events;
  events.push_back(std::move(event));
  return stream::AppendRequest{stream::ExpectedRevision::Any(),
                               stream::StreamName::New(std::move(stream)).value(),
                               std::move(events),
                               std::nullopt,
                               format::BranchId(),
                               durability};
}

struct HeldDatabase {
  platform::TempDir dir;
  std::unique_ptr<db::Corvantine> db;
};

// A database of `events` events over 100 streams, written in buffered
// batches of 1000 and committed once. Built on first use and kept for the
// rest of the run.
db::Corvantine* DatabaseWith(int64_t events) {
  static std::map<int64_t, std::unique_ptr<HeldDatabase>> held;
  std::unique_ptr<HeldDatabase>& entry = held[events];
  if (entry) return entry->db.get();
  entry = std::make_unique<HeldDatabase>();
  entry->db = db::Corvantine::OpenInternal(entry->dir.path(), {}, std::nullopt).value();
  constexpr int64_t kBatch = 1000;
  for (int64_t written = 0; written < events; written += kBatch) {
    std::vector<stream::NewEvent> batch(kBatch);
    for (int64_t i = 0; i < kBatch; ++i) {
      batch[i].payload = "{\"n\":" + std::to_string(written + i) + "}";
    }
    stream::AppendRequest request{
        stream::ExpectedRevision::Any(),
        stream::StreamName::New("s-" + std::to_string(written / kBatch % 100)).value(),
        std::move(batch),
        std::nullopt,
        format::BranchId(),
        stream::RequestDurability::kBuffered};
    entry->db->AppendBatchWithId(std::move(request), std::nullopt).value();
  }
  entry->db->Commit().value();
  return entry->db.get();
}

Result<stream::AppendReceipt> SyncedAppend(db::Corvantine& db, int64_t n) {
  return db.AppendBatchWithId(
      SingleEvent("s-" + std::to_string(n % 100), "{\"n\":" + std::to_string(n) + "}",
                  stream::RequestDurability::kSync),
      std::nullopt);
}

template <typename Operation>
double MicrosOf(Operation&& operation) {
  const auto start = std::chrono::steady_clock::now();
  operation();
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

// Each iteration makes one synced append on each database and one raw
// durable 4 KiB append, timed apart, so that all three meet the same load
// on the disk; the order of the two databases alternates.
void BM_DurableAppend(benchmark::State& state) {
  db::Corvantine* small = DatabaseWith(10'000);
  db::Corvantine* large = DatabaseWith(1'000'000);
  platform::TempDir dir;
  platform::File raw = platform::CreateExclusive(platform::JoinPath(dir.path(), "raw")).value();
  const std::string block(4096, 'x');
  uint64_t raw_offset = 0;
  double small_us = 0, large_us = 0, raw_us = 0;
  bool failed = false;
  int64_t n = 0;
  for (auto _ : state) {
    auto append_small = [&] {
      small_us += MicrosOf([&] { failed |= !SyncedAppend(*small, n).ok(); });
    };
    auto append_large = [&] {
      large_us += MicrosOf([&] { failed |= !SyncedAppend(*large, n).ok(); });
    };
    if (n % 2 == 0) {
      append_small();
      append_large();
    } else {
      append_large();
      append_small();
    }
    raw_us +=
        MicrosOf([&] { failed |= !raw.WriteAt(raw_offset, block).ok() || !raw.DataSync().ok(); });
    raw_offset += block.size();
    ++n;
    if (failed) {
      state.SkipWithError("an append failed");
      return;
    }
  }
  const double iterations = static_cast<double>(state.iterations());
  state.counters["append_10k_us"] = small_us / iterations;
  state.counters["append_1M_us"] = large_us / iterations;
  state.counters["fdatasync_4KiB_us"] = raw_us / iterations;
  state.counters["ratio_1M_10k"] = large_us / small_us;
}
BENCHMARK(BM_DurableAppend)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
