// The write path: one append request becomes one atomic batch in the log.
#include <algorithm>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "db/db.h"
#include "db/request.h"
#include "util/coding.h"

namespace corvantine::db {

namespace {

using stream::AppendReceipt;
using stream::BatchEvent;
using stream::ReceiptDurability;

// What every record of one batch shares.
struct BatchStamp {
  format::DatabaseId database_id;
  format::BranchId branch_id;
  format::StreamId stream_id;
  format::BatchId batch_id;
  uint64_t first_revision = 0;
  int64_t timestamp_unix_nanos = 0;
  std::string_view stream_name;
  const stream::IdempotencyKey* idempotency_key = nullptr;
  std::string request_digest;  // 4 bytes little-endian, with a key only
};

// The most metadata entries kept for reuse between batches, and the most
// storage one of their texts may keep: system entries are short, and a large
// caller value is not held on to.
constexpr size_t kMaxSpareMetadata = 4096;
constexpr size_t kMaxSpareTextBytes = 64;

using SpareMetadata = std::vector<format::Metadata::node_type>;

// Adds `key` with `value` unless the key is present, in a spare entry's
// storage when there is one.
void AddEntry(format::Metadata& metadata, std::string_view key, std::string_view value,
              SpareMetadata& spare) {
  if (spare.empty()) {
    metadata.emplace(key, value);
    return;
  }
  format::Metadata::node_type entry = std::move(spare.back());
  spare.pop_back();
  entry.key().assign(key);
  entry.mapped().assign(value);
  auto added = metadata.insert(std::move(entry));
  if (!added.inserted) spare.push_back(std::move(added.node));
}

// Keeps the short metadata entries of written records for later batches.
void KeepMetadata(std::span<log::segment::BatchRecord> records, SpareMetadata& spare) {
  for (log::segment::BatchRecord& record : records) {
    format::Metadata& metadata = record.envelope.metadata;
    while (!metadata.empty() && spare.size() < kMaxSpareMetadata) {
      format::Metadata::node_type entry = metadata.extract(metadata.begin());
      if (entry.key().capacity() <= kMaxSpareTextBytes &&
          entry.mapped().capacity() <= kMaxSpareTextBytes) {
        spare.push_back(std::move(entry));
      }
    }
  }
}

// The envelope of the event at `index`, taking its type and metadata over.
// Every member is initialised from its source directly: a default event type
// would be made only to be dropped.
format::RecordEnvelopeV2 EnvelopeOf(const BatchStamp& stamp, stream::NewEvent& event,
                                    size_t index, SpareMetadata& spare) {
  format::RecordEnvelopeV2 envelope{
      .event_id = event.event_id ? *event.event_id : format::EventId(format::GenerateIdBytes()),
      .database_id = stamp.database_id,
      .branch_id = stamp.branch_id,
      .stream_id = stamp.stream_id,
      .stream_revision = format::StreamRevision{stamp.first_revision + index},
      .timestamp_unix_nanos = stamp.timestamp_unix_nanos,
      .event_type = std::move(event.event_type),
      .schema_version = event.schema_version,
      .payload_format = kEventPayloadFormat,
      .batch_id = stamp.batch_id,
      .batch_index = static_cast<uint32_t>(index),
      .metadata = std::move(event.metadata),
  };
  AddEntry(envelope.metadata, format::kStreamNameKey, stamp.stream_name, spare);
  if (stamp.idempotency_key != nullptr) {
    AddEntry(envelope.metadata, format::kIdempotencyKeyKey, stamp.idempotency_key->bytes(), spare);
    AddEntry(envelope.metadata, format::kRequestDigestKey, stamp.request_digest, spare);
  }
  return envelope;
}

// Whether two events of the batch carry one id with different content. Only
// caller-given ids can repeat; a generated one is fresh.
bool RepeatsIdWithOtherContent(std::span<const stream::NewEvent> events,
                               std::span<const BatchEvent> built) {
  std::vector<BatchEvent> given;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].event_id) given.push_back(built[i]);
  }
  if (given.size() < 2) return false;
  auto by_id = [](const BatchEvent& a, const BatchEvent& b) { return a.event_id < b.event_id; };
  std::sort(given.begin(), given.end(), by_id);
  auto conflicting = [](const BatchEvent& a, const BatchEvent& b) {
    return a.event_id == b.event_id && a.fingerprint != b.fingerprint;
  };
  return std::adjacent_find(given.begin(), given.end(), conflicting) != given.end();
}

// The receipt of the batch that `events` retry: each must carry a given id
// that one batch stored with the same content, and that batch must be of
// the request's stream on the request's branch (`stream`, absent when the
// stream has no event there) and hold as many events. A fingerprint leaves
// out the stream name, so an id reused on another stream is a conflict, not
// a retry.
Result<AppendReceipt> RetriedReceipt(std::span<const stream::NewEvent> events,
                                     std::span<const BatchEvent> built,
                                     const std::optional<stream::StreamEntry>& stream,
                                     const stream::StreamCatalog& catalog) {
  if (!stream) return CorvantineError::EventIdConflict();
  std::optional<AppendReceipt> receipt;
  for (size_t i = 0; i < events.size(); ++i) {
    if (!events[i].event_id) return CorvantineError::EventIdConflict();
    std::optional<stream::StoredEventReceipt> stored = catalog.EventReceipt(*events[i].event_id);
    if (!stored || stored->fingerprint != built[i].fingerprint) {
      return CorvantineError::EventIdConflict();
    }
    if (receipt && receipt->batch_id != stored->receipt.batch_id) {
      return CorvantineError::EventIdConflict();
    }
    receipt = std::move(stored->receipt);
  }
  // A stream id is derived from the branch and the name, so it names one
  // stream on one branch.
  const uint64_t stored_events = receipt->last_position - receipt->first_position + 1;
  if (receipt->stream_id != stream->stream_id || stored_events != events.size()) {
    return CorvantineError::EventIdConflict();
  }
  return std::move(*receipt);
}

// The batch as the log is to store it.
struct PreparedBatch {
  std::vector<log::segment::BatchRecord> records;  // payloads view the request's
  std::vector<BatchEvent> events;                  // each record's id and fingerprint
  uint64_t payload_bytes = 0;
  bool retry = false;  // a caller-given id is stored: the batch was written before
};

// Builds the records of `events`, which give up their types and metadata,
// and checks their ids against `catalog` and one another.
Result<PreparedBatch> Prepare(const BatchStamp& stamp, std::vector<stream::NewEvent>& events,
                              const stream::StreamCatalog& catalog, SpareMetadata& spare) {
  PreparedBatch batch;
  batch.records.reserve(events.size());
  batch.events.reserve(events.size());
  for (size_t i = 0; i < events.size(); ++i) {
    stream::NewEvent& event = events[i];
    format::RecordEnvelopeV2 envelope = EnvelopeOf(stamp, event, i, spare);
    const uint32_t fingerprint = stream::EventFingerprint(
        envelope.event_type, envelope.schema_version, envelope.metadata, event.payload);
    // A generated id is fresh, so only a caller-given one can be stored.
    if (event.event_id) {
      const std::optional<uint32_t> stored = catalog.EventDigest(envelope.event_id);
      if (stored && *stored != fingerprint) return CorvantineError::EventIdConflict();
      batch.retry |= stored.has_value();
    }
    batch.events.push_back({envelope.event_id, fingerprint});
    batch.records.push_back({std::move(envelope), event.payload});
    batch.payload_bytes += event.payload.size();
  }
  if (RepeatsIdWithOtherContent(events, batch.events)) return CorvantineError::EventIdConflict();
  return batch;
}

// The idempotency key and request digest a batch is recorded under.
struct RecordedKey {
  std::optional<stream::IdempotencyKey> key;
  uint32_t digest = 0;
};

// What a replicated batch carries in its first event, as its source stored
// it: nothing unless the key is a valid one and the digest 4 bytes long.
RecordedKey CarriedKey(const format::Metadata& metadata) {
  const auto key = metadata.find(format::kIdempotencyKeyKey);
  const auto digest = metadata.find(format::kRequestDigestKey);
  if (key == metadata.end() || digest == metadata.end() || digest->second.size() != 4) return {};
  Result<stream::IdempotencyKey> valid = stream::IdempotencyKey::New(key->second);
  if (!valid.ok()) return {};
  return {std::move(valid).value(), util::DecodeFixed32(digest->second.data())};
}

ReceiptDurability Reached(bool committed, stream::RequestDurability requested) {
  if (committed) return ReceiptDurability::kSynced;
  return requested == stream::RequestDurability::kFlush ? ReceiptDurability::kFlushed
                                                        : ReceiptDurability::kBuffered;
}

}  // namespace

Result<AppendReceipt> Corvantine::AppendBatchWithId(stream::AppendRequest request,
                                                    std::optional<format::BatchId> batch_id) {
  return Append(std::move(request), batch_id, MetadataOrigin::kCaller);
}

Result<AppendReceipt> Corvantine::IngestBatch(stream::AppendRequest request,
                                              const format::BatchId& batch_id) {
  return Append(std::move(request), batch_id, MetadataOrigin::kReplica);
}

Result<AppendReceipt> Corvantine::Append(stream::AppendRequest request,
                                         std::optional<format::BatchId> batch_id,
                                         MetadataOrigin origin) {
  CVN_TRY(CheckTarget(request, origin));
  const format::BranchId& branch_id = request.branch_id;
  const std::string& name = request.stream.str();
  const std::optional<stream::StreamEntry> existing = streams_.Stream(branch_id, name);
  const std::optional<uint64_t> previous =
      existing ? std::optional<uint64_t>(existing->revision) : std::nullopt;
  // Only a retry under the same key compares digests.
  const uint32_t request_digest = request.idempotency_key ? RequestDigest(request) : 0;
  if (request.idempotency_key) {
    std::optional<stream::IdempotencyEntry> entry =
        streams_.Idempotent(branch_id, request.idempotency_key->bytes());
    if (entry) {
      if (entry->request_digest != request_digest) return CorvantineError::IdempotencyConflict();
      return ReturnStored(std::move(entry->receipt), request.durability);
    }
  }
  if (!request.expected_revision.IsMetBy(previous)) {
    return CorvantineError::RevisionConflict(request.expected_revision.DebugString(),
                                             stream::OptionalRevisionDebugString(previous));
  }

  BatchStamp stamp;
  stamp.database_id = log_->database_id();
  stamp.branch_id = branch_id;
  stamp.stream_id =
      existing ? existing->stream_id : NewStreamId(log_->database_id(), branch_id, name);
  stamp.batch_id = batch_id.value_or(format::BatchId(format::GenerateIdBytes()));
  stamp.first_revision = previous ? *previous + 1 : 0;
  stamp.timestamp_unix_nanos = CurrentTimestampNanos();
  stamp.stream_name = name;
  if (request.idempotency_key) {
    stamp.idempotency_key = &*request.idempotency_key;
    stamp.request_digest.resize(sizeof request_digest);
    util::EncodeFixed32(stamp.request_digest.data(), request_digest);
  }
  RecordedKey recorded = origin == MetadataOrigin::kReplica
                             ? CarriedKey(request.events.front().metadata)
                             : RecordedKey{std::nullopt, request_digest};
  CVN_ASSIGN_OR_RETURN(PreparedBatch batch,
                       Prepare(stamp, request.events, streams_, spare_metadata_));
  if (batch.retry) {
    CVN_ASSIGN_OR_RETURN(AppendReceipt receipt,
                         RetriedReceipt(request.events, batch.events, existing, streams_));
    if (batch_id && *batch_id != receipt.batch_id) return CorvantineError::BatchIdConflict();
    return ReturnStored(std::move(receipt), request.durability);
  }
  if (streams_.BatchReceipt(stamp.batch_id)) return CorvantineError::BatchIdConflict();

  const LogEnd end = End();
  Result<std::pair<uint64_t, uint64_t>> positions = log_->AppendBatch(batch.records);
  CountAppendedSince(end);
  KeepMetadata(batch.records, spare_metadata_);
  if (!positions.ok()) return std::move(positions).error();
  uncommitted_bytes_ += batch.payload_bytes;
  uncommitted_events_ += batch.events.size();

  // The batch is in the segment file, so the catalog records it whether or
  // not the commit succeeds: else the next append would take its revisions
  // and a retry under its key would write it twice.
  const bool commit = CommitDue(request.durability);
  const Result<> flushed = commit ? CommitBatch(stamp.batch_id, request.durability) : Result<>();
  const AppendReceipt receipt{
      stamp.batch_id,
      positions->first,
      positions->second,
      stamp.stream_id,
      previous,
      format::StreamRevision{stamp.first_revision + batch.events.size() - 1},
      Reached(commit && flushed.ok(), request.durability)};
  if (request.idempotency_key) recorded.key = std::move(request.idempotency_key);
  streams_.RecordBatch(branch_id, name, stamp.stream_id, batch.events, std::move(recorded.key),
                       recorded.digest, receipt);
  if (!flushed.ok()) return flushed.error();
  if (commit) PersistCheckpointIfDue();
  return receipt;
}

Result<> Corvantine::CheckTarget(const stream::AppendRequest& request,
                                 MetadataOrigin origin) const {
  const size_t count = request.events.size();
  if (count == 0) {
    return CorvantineError::InvalidArgument("append batch must contain at least one event");
  }
  if (count > kMaxBatchEvents) {
    return CorvantineError::ResourceLimit("batch event count", count, kMaxBatchEvents);
  }
  if (origin == MetadataOrigin::kCaller) CVN_TRY(CheckCallerMetadata(request.events));
  const branch::BranchInfo* branch = branches_.Find(request.branch_id);
  if (branch == nullptr) return CorvantineError::BranchNotFound(request.branch_id.ToHex());
  if (branch->status == branch::BranchStatus::kArchived) {
    return CorvantineError::BranchArchived(branch->name);
  }
  return {};
}

Result<AppendReceipt> Corvantine::ReturnStored(AppendReceipt receipt,
                                               stream::RequestDurability durability) {
  receipt.durability = StoredDurability(receipt);
  if (durability != stream::RequestDurability::kSync ||
      receipt.durability == ReceiptDurability::kSynced) {
    return receipt;
  }
  CVN_TRY(Commit());
  receipt.durability = ReceiptDurability::kSynced;
  return receipt;
}

bool Corvantine::CommitDue(stream::RequestDurability durability) const {
  if (durability == stream::RequestDurability::kSync) return true;
  if (policy_.commit_every_bytes && uncommitted_bytes_ >= *policy_.commit_every_bytes) return true;
  if (policy_.commit_every_count && uncommitted_events_ >= *policy_.commit_every_count) return true;
  if (policy_.commit_every_millis) {
    const uint64_t elapsed_millis = (options_.monotonic_nanos() - last_commit_nanos_) / 1'000'000;
    if (elapsed_millis >= *policy_.commit_every_millis) return true;
  }
  return false;
}

ReceiptDurability Corvantine::StoredDurability(const AppendReceipt& receipt) const {
  for (const auto& [batch, durability] : unflushed_receipts_) {
    if (batch == receipt.batch_id) return durability;
  }
  return receipt.durability;
}

Result<> Corvantine::CommitBatch(const format::BatchId& batch,
                                 stream::RequestDurability requested) {
  if (!in_group_) return MakeDurable();
  MarkCommit();
  marked_receipts_.emplace_back(batch, Reached(false, requested));
  return {};
}

}  // namespace corvantine::db
