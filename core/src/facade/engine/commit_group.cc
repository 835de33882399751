#include "facade/engine/commit_group.h"

#include <algorithm>
#include <chrono>
#include <utility>

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
    if (NeedsJsonCheck(event)) CVN_TRY(CheckJsonValue(event.body));
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

EngineResult<CommitGroup::WrittenAppend> CommitGroup::Write(AppendBatch batch,
                                                        std::optional<BatchId> source_batch) {
  CVN_TRY(CheckEvents(batch.events));
  WrittenAppend written{{}, batch.events.size(), BodyBytes(batch.events)};
  Result<stream::AppendRequest> request = ToAppendRequest(std::move(batch));
  if (!request.ok()) return EngineError::FromCore(request.error());
  CVN_ASSIGN_OR_RETURN(written.receipt,
                       FromCore(source_batch
                                    ? db_.IngestBatch(std::move(request).value(), *source_batch)
                                    : db_.AppendBatchWithId(std::move(request).value(),
                                                             std::nullopt)));
  return written;
}

EngineResult<AppendReceiptDto> CommitGroup::ReceiptOf(EngineResult<WrittenAppend> outcome) {
  if (!outcome.ok()) return std::move(outcome).error();
  return std::move(outcome->receipt);
}

// An answer that does not wait goes out as the append alone would send it.
// Once one waits, those behind it wait too, so that a caller who sends
// several appends gets their answers in order.
void CommitGroup::AppendToGroup(command::Append& append) {
  if (!in_append_group_) OpenAppendGroup();
  EngineResult<WrittenAppend> outcome = Write(std::move(append.batch));
  const bool awaits_flush = outcome.ok() && db_.AwaitsGroupFlush(outcome->receipt);
  if (awaits_flush || !held_answers_.empty()) {
    held_answers_.push_back({std::move(append.reply), std::move(outcome), awaits_flush});
    return;
  }
  if (outcome.ok()) projections_.AfterAppend(outcome->events, outcome->bytes);
  PublishDurableHead();
  append.reply.Send(ReceiptOf(std::move(outcome)));
}

void CommitGroup::OpenAppendGroup() {
  db_.BeginCommitGroup();
  in_append_group_ = true;
  group_opened_ = std::chrono::steady_clock::now();
}

// The durable head is published, and the views driven, only once the flush
// made the events durable, and before any caller hears of them.
void CommitGroup::EndAppendGroup() {
  if (!in_append_group_) return;
  in_append_group_ = false;
  const EngineResult<> flushed = FlushGroup();
  if (!flushed.ok()) FailAwaitingAnswers(flushed.error());
  AfterHeldAppends();
  PublishDurableHead();
  for (HeldAnswer& held : held_answers_) held.reply.Send(ReceiptOf(std::move(held.outcome)));
  held_answers_.clear();
}

void CommitGroup::FailAwaitingAnswers(const EngineError& error) {
  for (HeldAnswer& held : held_answers_) {
    if (held.awaits_flush) held.outcome = error;
  }
}

// A caller that stops appending lowers the expected number by one per
// flush, so that one flush that callers found at an unlucky moment does not
// lower it at once.
EngineResult<> CommitGroup::FlushGroup() {
  const auto start = std::chrono::steady_clock::now();
  EngineResult<> flushed = FromCore(db_.EndCommitGroup());
  if (!held_answers_.empty()) {
    last_flush_nanos_ = std::chrono::steady_clock::now() - start;
    const size_t decayed = expected_waiters_ > 0 ? expected_waiters_ - 1 : 0;
    expected_waiters_ = std::max(held_answers_.size(), decayed);
  }
  return flushed;
}

void CommitGroup::AfterHeldAppends() {
  uint64_t events = 0;
  uint64_t bytes = 0;
  for (const HeldAnswer& held : held_answers_) {
    if (!held.outcome.ok()) continue;
    events += held.outcome->events;
    bytes += held.outcome->bytes;
  }
  if (events > 0) projections_.AfterAppend(events, bytes);
}

bool CommitGroup::ExpectsMoreWaiters() const {
  return !held_answers_.empty() && held_answers_.size() < expected_waiters_;
}

void CommitGroup::PublishDurableHead() { feed_.Publish(db_.durable_head()); }

EngineResult<uint64_t> CommitGroup::Handle(command::Commit&) { return FromCore(db_.Commit()); }

EngineResult<uint64_t> CommitGroup::Handle(command::Head&) { return db_.head(); }

EngineResult<uint64_t> CommitGroup::Handle(command::DurableHead&) { return db_.durable_head(); }

// Every event takes one position and every commit makes the whole head
// durable, so the positions above the durable head are the uncommitted events.
EngineResult<uint64_t> CommitGroup::Handle(command::UncommittedCount&) {
  return db_.head() - db_.durable_head();
}

}  // namespace corvantine::facade
