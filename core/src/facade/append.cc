// The write road and the position queries.
#include <utility>

#include "facade/sequencer.h"
#include "util/json.h"

namespace corvantine::facade {

namespace {

constexpr uint64_t kMaxBatchPayloadBytes = 16 << 20;
constexpr uint64_t kMaxEventPayloadBytes = 8 << 20;

// Whether a JSON body must be read to be known valid: one whose maker vouches
// for its form is read only to place the nesting error.
bool NeedsJsonCheck(const EventData& event) {
  if (event.codec != EventCodec::kJson) return false;
  return !event.well_formed_depth || *event.well_formed_depth > uint32_t{util::json::kMaxDepth};
}

uint64_t BodyBytes(const std::vector<EventData>& events) {
  uint64_t total = 0;
  for (const EventData& event : events) total += event.body.size();
  return total;
}

// The engine's own limits, before anything is converted: the whole batch,
// then each event in order.
EngineResult<> CheckEvents(const std::vector<EventData>& events) {
  const uint64_t total = BodyBytes(events);
  if (total > kMaxBatchPayloadBytes) {
    return EngineError::LimitExceeded("batch payload", total, kMaxBatchPayloadBytes);
  }
  for (const EventData& event : events) {
    if (event.body.size() > kMaxEventPayloadBytes) {
      return EngineError::LimitExceeded("payload", event.body.size(), kMaxEventPayloadBytes);
    }
    if (NeedsJsonCheck(event)) {
      util::json::Result<> valid = util::json::Validate(event.body);
      if (!valid.ok()) return EngineError::InvalidJson(std::move(valid.error().message));
    }
  }
  return {};
}

// Each body moves into its stored form.
Result<std::vector<stream::NewEvent>> ToNewEvents(std::vector<EventData> events) {
  std::vector<stream::NewEvent> converted;
  converted.reserve(events.size());
  for (EventData& event : events) {
    CVN_ASSIGN_OR_RETURN(format::EventType type,
                         format::EventType::New(std::move(event.event_type)));
    converted.push_back(
        stream::NewEvent{std::move(type), EncodeEngineEvent(event.codec, std::move(event.body)),
                         std::move(event.metadata), event.schema_version, event.event_id});
  }
  return converted;
}

Result<stream::AppendRequest> ToAppendRequest(AppendBatch batch) {
  CVN_ASSIGN_OR_RETURN(std::vector<stream::NewEvent> events,
                       ToNewEvents(std::move(batch.events)));
  CVN_ASSIGN_OR_RETURN(stream::StreamName stream, stream::StreamName::New(std::move(batch.stream)));
  std::optional<stream::IdempotencyKey> key;
  if (batch.idempotency_key) {
    CVN_ASSIGN_OR_RETURN(key, stream::IdempotencyKey::New(std::move(*batch.idempotency_key)));
  }
  return stream::AppendRequest{batch.expected_revision, std::move(stream), std::move(events),
                               std::move(key), batch.branch, batch.durability};
}

}  // namespace

EngineResult<AppendReceiptDto> Sequencer::Handle(command::Append& command) {
  return Append(std::move(command.batch));
}

EngineResult<AppendReceiptDto> Sequencer::Append(AppendBatch batch,
                                                 std::optional<BatchId> batch_id) {
  CVN_TRY(CheckEvents(batch.events));
  const uint64_t events = batch.events.size();
  const uint64_t bytes = BodyBytes(batch.events);
  Result<stream::AppendRequest> request = ToAppendRequest(std::move(batch));
  if (!request.ok()) return EngineError::FromCore(request.error());
  CVN_ASSIGN_OR_RETURN(AppendReceiptDto receipt,
                       FromCore(db_->AppendBatchWithId(std::move(request).value(), batch_id)));
  projections_.AfterAppend(events, bytes);
  return receipt;
}

EngineResult<uint64_t> Sequencer::Handle(command::Commit&) { return FromCore(db_->Commit()); }

EngineResult<uint64_t> Sequencer::Handle(command::Head&) { return db_->log().head(); }

EngineResult<uint64_t> Sequencer::Handle(command::DurableHead&) { return db_->durable_head(); }

// Every event takes one position and every commit makes the whole head
// durable, so the positions above the durable head are the uncommitted events.
EngineResult<uint64_t> Sequencer::Handle(command::UncommittedCount&) {
  return db_->log().head() - db_->durable_head();
}

EngineResult<uint64_t> Sequencer::Handle(command::RetentionFloor&) {
  return db_->log().retention_floor();
}

}  // namespace corvantine::facade
