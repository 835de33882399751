#include "stream/catalog.h"

#include <algorithm>

#include "format/metadata.h"

namespace corvantine::stream {

namespace {

// Replaces the value under `key`, building an owned key only for a new entry.
template <typename Map, typename Value>
void Upsert(Map& map, BranchKeyRef key, Value value) {
  auto entry = map.find(key);
  if (entry != map.end()) {
    entry->second = std::move(value);
  } else {
    map.emplace(BranchKey{key.branch, std::string(key.bytes)}, std::move(value));
  }
}

template <typename Map, typename Key>
const typename Map::mapped_type* Find(const Map& map, const Key& key) {
  auto entry = map.find(key);
  return entry == map.end() ? nullptr : &entry->second;
}

}  // namespace

size_t BranchKeyHash::operator()(BranchKeyRef key) const {
  const size_t bytes_hash = std::hash<std::string_view>()(key.bytes);
  const size_t branch_hash = std::hash<format::BranchId>()(key.branch);
  return bytes_hash ^ (branch_hash + 0x9e3779b97f4a7c15 + (bytes_hash << 6) + (bytes_hash >> 2));
}

std::optional<StreamEntry> StreamCatalog::Stream(const format::BranchId& branch,
                                                 std::string_view name) const {
  const StreamEntry* entry = Find(streams_, BranchKeyRef(branch, name));
  if (entry == nullptr) return std::nullopt;
  return *entry;
}

std::optional<uint64_t> StreamCatalog::Revision(const format::BranchId& branch,
                                                std::string_view name) const {
  const StreamEntry* entry = Find(streams_, BranchKeyRef(branch, name));
  if (entry == nullptr) return std::nullopt;
  return entry->revision;
}

std::optional<format::StreamId> StreamCatalog::StreamIdOf(const format::BranchId& branch,
                                                          std::string_view name) const {
  const StreamEntry* entry = Find(streams_, BranchKeyRef(branch, name));
  if (entry == nullptr) return std::nullopt;
  return entry->stream_id;
}

std::optional<IdempotencyEntry> StreamCatalog::Idempotent(const format::BranchId& branch,
                                                          std::string_view key) const {
  const IdempotencyEntry* entry = Find(idempotency_, BranchKeyRef(branch, key));
  if (entry == nullptr) return std::nullopt;
  return *entry;
}

std::optional<uint32_t> StreamCatalog::EventDigest(const format::EventId& event_id) const {
  const EventEntry* entry = Find(events_, event_id);
  if (entry == nullptr) return std::nullopt;
  return entry->fingerprint;
}

std::optional<AppendReceipt> StreamCatalog::BatchReceipt(const format::BatchId& batch_id) const {
  const AppendReceipt* receipt = Find(receipts_, batch_id);
  if (receipt == nullptr) return std::nullopt;
  return *receipt;
}

std::optional<StoredEventReceipt> StreamCatalog::EventReceipt(
    const format::EventId& event_id) const {
  const EventEntry* entry = Find(events_, event_id);
  if (entry == nullptr) return std::nullopt;
  const AppendReceipt* receipt = Find(receipts_, entry->batch_id);
  if (receipt == nullptr) return std::nullopt;
  return StoredEventReceipt{entry->fingerprint, *receipt};
}

std::optional<AppendReceipt> StreamCatalog::LastBatch() const {
  auto earlier = [](const ReceiptMap::value_type& a, const ReceiptMap::value_type& b) {
    return a.second.last_position < b.second.last_position;
  };
  auto last = std::max_element(receipts_.begin(), receipts_.end(), earlier);
  if (last == receipts_.end()) return std::nullopt;
  return last->second;
}

void StreamCatalog::RecordBatch(const format::BranchId& branch, std::string_view stream_name,
                                const format::StreamId& stream_id,
                                std::span<const BatchEvent> events,
                                std::optional<IdempotencyKey> idempotency_key,
                                uint32_t request_digest, const AppendReceipt& receipt) {
  Upsert(streams_, BranchKeyRef(branch, stream_name),
         StreamEntry{stream_id, receipt.current_revision.value});
  for (const BatchEvent& event : events) {
    events_.insert_or_assign(event.event_id, EventEntry{event.fingerprint, receipt.batch_id});
  }
  receipts_.insert_or_assign(receipt.batch_id, receipt);
  positions_.Add(receipt.stream_id, receipt.first_position, receipt.last_position);
  if (idempotency_key) {
    idempotency_.insert_or_assign(BranchKey{branch, std::move(*idempotency_key).Release()},
                                  IdempotencyEntry{request_digest, receipt});
  }
}

Result<> StreamCatalog::ApplyStoredEvent(StoredEvent event) {
  // Every check comes before the first change, so a failure changes nothing.
  CVN_ASSIGN_OR_RETURN(const CheckedStream stream, CheckStream(event));
  CVN_TRY(StoreEventId(event.envelope.event_id, EventEntryOf(event)));
  ApplyChecked(event, stream);
  return {};
}

EventEntry StreamCatalog::EventEntryOf(StoredEvent event) {
  return EventEntry{EventFingerprint(event), event.envelope.batch_id};
}

Result<StreamCatalog::CheckedStream> StreamCatalog::CheckStream(StoredEvent event) {
  const format::RecordEnvelopeV2& envelope = event.envelope;
  CVN_ASSIGN_OR_RETURN(std::string_view name, StreamNameView(event));
  auto stream = streams_.find(BranchKeyRef(envelope.branch_id, name));
  if (stream != streams_.end() && stream->second.stream_id != envelope.stream_id) {
    return CorvantineError::Corrupt(event.position, "stream name maps to multiple stream IDs");
  }
  return CheckedStream{name, stream};
}

Result<> StreamCatalog::StoreEventId(const format::EventId& event_id, const EventEntry& entry) {
  auto [stored, inserted] = events_.try_emplace(event_id, entry);
  if (!inserted) {
    if (stored->second.fingerprint != entry.fingerprint) return CorvantineError::EventIdConflict();
    stored->second = entry;
  }
  return {};
}

void StreamCatalog::ApplyChecked(StoredEvent event, const CheckedStream& stream) {
  const format::RecordEnvelopeV2& envelope = event.envelope;
  const uint64_t revision = envelope.stream_revision.value;
  if (stream.entry == streams_.end()) {
    streams_.emplace(BranchKey{envelope.branch_id, std::string(stream.name)},
                     StreamEntry{envelope.stream_id, revision});
  } else {
    stream.entry->second.revision = std::max(stream.entry->second.revision, revision);
  }
  const AppendReceipt& receipt = ExtendReceipt(event);
  RecordStoredIdempotency(event, receipt);
}

Result<> StreamCatalog::Rebuilder::Apply(StoredEvent event) {
  Result<CheckedStream> stream = catalog_.CheckStream(event);
  if (!stream.ok()) {
    CVN_TRY(StorePending());  // an earlier event's conflict comes first
    return std::move(stream).error();
  }
  catalog_.events_.Prefetch(event.envelope.event_id);
  pending_.push_back({event.envelope.event_id, EventEntryOf(event)});
  catalog_.ApplyChecked(event, *stream);
  if (pending_.size() == kPendingIds) return StorePending();
  return {};
}

Result<> StreamCatalog::Rebuilder::StorePending() {
  for (const auto& [event_id, entry] : pending_) {
    Result<> stored = catalog_.StoreEventId(event_id, entry);
    if (!stored.ok()) {
      pending_.clear();
      return stored;
    }
  }
  pending_.clear();
  return {};
}

const AppendReceipt& StreamCatalog::ExtendReceipt(StoredEvent event) {
  const format::RecordEnvelopeV2& envelope = event.envelope;
  auto [entry, created] = receipts_.try_emplace(envelope.batch_id);
  AppendReceipt& receipt = entry->second;
  if (created) {
    const uint64_t revision = envelope.stream_revision.value;
    receipt.batch_id = envelope.batch_id;
    receipt.first_position = event.position;
    receipt.stream_id = envelope.stream_id;
    if (revision > 0) receipt.previous_revision = revision - 1;
    // The durability an append reached is not in the log.
    receipt.durability = ReceiptDurability::kBuffered;
  }
  receipt.last_position = event.position;
  receipt.current_revision = envelope.stream_revision;
  positions_.Add(envelope.stream_id, event.position, event.position);
  return receipt;
}

void StreamCatalog::RecordStoredIdempotency(StoredEvent event, const AppendReceipt& receipt) {
  const format::Metadata& metadata = event.envelope.metadata;
  auto key = metadata.find(format::kIdempotencyKeyKey);
  auto digest = metadata.find(format::kRequestDigestKey);
  if (key == metadata.end() || digest == metadata.end()) return;
  if (digest->second.size() != sizeof(uint32_t)) return;
  // Every event of an idempotent batch carries the key, so after the
  // batch's last event the entry holds the whole batch's receipt.
  Upsert(idempotency_, BranchKeyRef(event.envelope.branch_id, key->second),
         IdempotencyEntry{util::DecodeFixed32(digest->second.data()), receipt});
}

}  // namespace corvantine::stream
