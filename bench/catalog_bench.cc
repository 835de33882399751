// The stream catalog at a million events, in batches of 1 and of 100: the
// time to record each batch, to look up an event id that is present and
// one that is absent (what an append asks for every new id), to decode the
// catalog's checkpoint encoding, and the heap bytes the catalog holds per
// event.
#include <malloc.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "format/ids.h"
#include "stream/catalog.h"

namespace {

using corvantine::format::BatchId;
using corvantine::format::BranchId;
using corvantine::format::EventId;
using corvantine::format::GenerateIdBytes;
using corvantine::format::StreamId;
using corvantine::stream::AppendReceipt;
using corvantine::stream::BatchEvent;
using corvantine::stream::StreamCatalog;

constexpr uint64_t kEvents = 1'000'000;
constexpr uint64_t kStreams = 1'000;

size_t HeapBytesInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Records kEvents fresh ids in batches of `batch_size`, round-robin over
// kStreams streams, as appends would.
void Fill(StreamCatalog& catalog, uint64_t batch_size, std::vector<EventId>* ids = nullptr) {
  std::vector<BatchEvent> events(batch_size);
  for (uint64_t position = 0; position < kEvents; position += batch_size) {
    for (BatchEvent& event : events) {
      event = {EventId(GenerateIdBytes()), static_cast<uint32_t>(position)};
      if (ids != nullptr) ids->push_back(event.event_id);
    }
    const uint64_t stream = position / batch_size % kStreams;
    const uint64_t revision = position / batch_size / kStreams * batch_size;
    AppendReceipt receipt{BatchId(GenerateIdBytes()), position, position + batch_size - 1,
                          StreamId(), revision > 0 ? std::optional(revision - 1) : std::nullopt,
                          {revision + batch_size - 1}};
    catalog.RecordBatch(BranchId(), "stream-" + std::to_string(stream), StreamId(), events,
                        std::nullopt, 0, receipt);
  }
}

void BM_CatalogRecord(benchmark::State& state) {
  const auto batch_size = static_cast<uint64_t>(state.range(0));
  size_t bytes = 0;
  for (auto _ : state) {
    const size_t before = HeapBytesInUse();
    StreamCatalog catalog;
    Fill(catalog, batch_size);
    bytes = HeapBytesInUse() - before;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kEvents));
  state.counters["bytes_per_event"] = static_cast<double>(bytes) / kEvents;
}

// On a catalog decoded from its encoding, as an open finds it.
void BM_CatalogLookup(benchmark::State& state) {
  const bool present = state.range(0) == 1;
  StreamCatalog filled;
  std::vector<EventId> ids;
  Fill(filled, 100, &ids);
  std::string bytes;
  corvantine::util::BinaryWriter writer(bytes);
  filled.Encode(writer);
  corvantine::util::BinaryReader reader(bytes);
  const StreamCatalog catalog = StreamCatalog::Decode(reader).value();
  if (!present) {
    for (EventId& id : ids) id = EventId(GenerateIdBytes());
  }
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(catalog.EventDigest(ids[next]));
    next = next + 1 == ids.size() ? 0 : next + 1;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CatalogDecode(benchmark::State& state) {
  StreamCatalog catalog;
  Fill(catalog, static_cast<uint64_t>(state.range(0)));
  std::string bytes;
  corvantine::util::BinaryWriter writer(bytes);
  catalog.Encode(writer);
  for (auto _ : state) {
    corvantine::util::BinaryReader reader(bytes);
    benchmark::DoNotOptimize(StreamCatalog::Decode(reader).ok());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kEvents));
}

BENCHMARK(BM_CatalogRecord)->ArgName("batch")->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CatalogLookup)->ArgName("present")->Arg(1)->Arg(0);
BENCHMARK(BM_CatalogDecode)->ArgName("batch")->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
