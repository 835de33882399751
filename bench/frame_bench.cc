// Frames per second through the codec for a typical appended event: a
// 200-byte JSON payload with the system metadata the append path writes.
#include <string>

#include <benchmark/benchmark.h>

#include "format/format.h"
#include "log/record.h"

namespace {

using namespace corvantine;

format::RecordEnvelopeV2 TypicalEnvelope(int metadata_entries) {
  format::RecordEnvelopeV2 envelope;
  envelope.event_id = format::EventId(format::GenerateIdBytes());
  envelope.database_id = format::DatabaseId(format::GenerateIdBytes());
  envelope.stream_id = format::StreamId(format::GenerateIdBytes());
  envelope.batch_id = format::BatchId(format::GenerateIdBytes());
  envelope.stream_revision = format::StreamRevision{41};
  envelope.timestamp_unix_nanos = 1'700'000'000'000'000'000;
  envelope.event_type = *format::EventType::New("application.json");
  envelope.schema_version = 1;
  envelope.payload_format = 0x80000001;
  const std::pair<std::string_view, std::string> entries[] = {
      {format::kStreamNameKey, "orders-0042"},
      {format::kIdempotencyKeyKey, "request-7f3a9c"},
      {format::kRequestDigestKey, std::string(16, '\x5c')},
  };
  for (int i = 0; i < metadata_entries; ++i) {
    envelope.metadata.emplace(entries[i].first, entries[i].second);
  }
  return envelope;
}

const std::string kPayload(200, 'j');

void BM_EncodeFrame(benchmark::State& state) {
  const format::RecordEnvelopeV2 envelope = TypicalEnvelope(static_cast<int>(state.range(0)));
  std::string out;
  for (auto _ : state) {
    out.clear();
    benchmark::DoNotOptimize(
        log::record::EncodeKind(format::kEventFrame, 12345, envelope, kPayload, &out).ok());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_EncodeFrame)->Arg(1)->Arg(3);

void BM_DecodeFrame(benchmark::State& state) {
  std::string frame;
  if (!log::record::EncodeKind(format::kEventFrame, 12345,
                               TypicalEnvelope(static_cast<int>(state.range(0))), kPayload, &frame)
           .ok()) {
    state.SkipWithError("encoding failed");
    return;
  }
  for (auto _ : state) {
    auto record = format::Decode(frame, log::record::kStandardLimits);
    benchmark::DoNotOptimize(record);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_DecodeFrame)->Arg(1)->Arg(3);

}  // namespace

BENCHMARK_MAIN();
