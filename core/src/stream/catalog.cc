#include "stream/catalog.h"

#include <algorithm>
#include <chrono>
#include <future>

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
  Settle();
  const IdempotencyEntry* entry = Find(idempotency_, BranchKeyRef(branch, key));
  if (entry == nullptr) return std::nullopt;
  return *entry;
}

std::optional<uint32_t> StreamCatalog::EventDigest(const format::EventId& event_id) const {
  Settle();
  const EventSlot* slot = Find(events_, event_id);
  if (slot == nullptr) return std::nullopt;
  return slot->fingerprint;
}

std::optional<EventEntry> StreamCatalog::Event(const format::EventId& event_id) const {
  Settle();
  const EventSlot* slot = Find(events_, event_id);
  if (slot == nullptr) return std::nullopt;
  return EventEntry{slot->fingerprint, batches_[slot->batch].batch_id};
}

std::optional<AppendReceipt> StreamCatalog::BatchReceipt(const format::BatchId& batch_id) const {
  Settle();
  const uint32_t* index = Find(batch_indexes_, batch_id);
  if (index == nullptr) return std::nullopt;
  return ReceiptAt(*index);
}

std::optional<StoredEventReceipt> StreamCatalog::EventReceipt(
    const format::EventId& event_id) const {
  Settle();
  const EventSlot* slot = Find(events_, event_id);
  if (slot == nullptr) return std::nullopt;
  std::optional<AppendReceipt> receipt = ReceiptAt(slot->batch);
  if (!receipt) return std::nullopt;
  return StoredEventReceipt{slot->fingerprint, *receipt};
}

std::optional<AppendReceipt> StreamCatalog::LastBatch() const {
  std::optional<uint32_t> last;
  for (uint32_t index = 0; index < batches_.size(); ++index) {
    const Batch& batch = batches_[index];
    if (batch.has_receipt && (!last || batch.last_position > batches_[*last].last_position)) {
      last = index;
    }
  }
  if (!last) return std::nullopt;
  return ReceiptAt(*last);
}

size_t StreamCatalog::ReceiptCount() const {
  return static_cast<size_t>(std::count_if(batches_.begin(), batches_.end(),
                                           [](const Batch& batch) { return batch.has_receipt; }));
}

bool operator==(const StreamCatalog& a, const StreamCatalog& b) {
  a.Settle();
  b.Settle();
  return a.streams_ == b.streams_ && a.idempotency_ == b.idempotency_ && a.SameEvents(b) &&
         a.SameReceipts(b);
}

bool StreamCatalog::SameEvents(const StreamCatalog& other) const {
  if (events_.size() != other.events_.size()) return false;
  for (const auto& [event_id, slot] : events_) {
    if (other.Event(event_id) != EventEntry{slot.fingerprint, batches_[slot.batch].batch_id}) {
      return false;
    }
  }
  return true;
}

bool StreamCatalog::SameReceipts(const StreamCatalog& other) const {
  bool same = ReceiptCount() == other.ReceiptCount();
  ForEachReceipt([&](const format::BatchId& batch_id, const AppendReceipt& receipt) {
    same = same && other.BatchReceipt(batch_id) == receipt;
  });
  return same;
}

uint32_t StreamCatalog::BatchIndex(const format::BatchId& batch_id) {
  auto [entry, added] = batch_indexes_.try_emplace(batch_id, static_cast<uint32_t>(batches_.size()));
  if (added) batches_.emplace_back().batch_id = batch_id;
  return entry->second;
}

StreamCatalog::StreamCatalog(const StreamCatalog& other) {
  other.Settle();
  streams_ = other.streams_;
  events_ = other.events_;
  idempotency_ = other.idempotency_;
  batches_ = other.batches_;
  batch_indexes_ = other.batch_indexes_;
  odd_receipt_ids_ = other.odd_receipt_ids_;
  positions_ = other.positions_;
}

StreamCatalog& StreamCatalog::operator=(const StreamCatalog& other) {
  if (this != &other) *this = StreamCatalog(other);
  return *this;
}

void StreamCatalog::Settle() const {
  SettleTables();
  SettlePositions();
}

void StreamCatalog::SettleTables() const {
  if (pending_tables_.valid()) Adopt(pending_tables_.get());
}

void StreamCatalog::BuildInBackground() {
  const bool tables_wait =
      pending_tables_.valid() &&
      pending_tables_.wait_for(std::chrono::seconds(0)) == std::future_status::deferred;
  if (tables_wait) {
    pending_tables_ = std::async(std::launch::async, [tables = std::move(pending_tables_)]() mutable {
      return tables.get();
    });
  }
  if (!positions_built_ && !pending_positions_.valid()) IndexPositionsInBackground();
}

bool StreamCatalog::PositionsPending() const {
  if (positions_built_) return false;
  return !pending_positions_.valid() ||
         pending_positions_.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

template <typename Wanted>
PositionIndex StreamCatalog::IndexReceipts(Wanted wanted) const {
  PositionIndex::Builder positions;
  for (const Batch& batch : batches_) {
    if (batch.has_receipt && wanted(batch.stream_id)) {
      positions.Add(batch.stream_id, batch.first_position, batch.last_position);
    }
  }
  return std::move(positions).Finish();
}

PositionIndex StreamCatalog::PositionsOf(const format::StreamId& stream) const {
  PositionIndex index = IndexReceipts([&](const format::StreamId& id) { return id == stream; });
  if (pending_floor_ > 0) index.DropBelow(pending_floor_);
  return index;
}

void StreamCatalog::SettlePositions() const {
  if (positions_built_) return;
  if (pending_positions_.valid()) {
    positions_ = pending_positions_.get();
    positions_built_ = true;
  } else {
    IndexPositions();
  }
  if (pending_floor_ > 0) positions_.DropBelow(pending_floor_);
}

void StreamCatalog::ForgetPositionsBelow(uint64_t floor) {
  if (!positions_built_) {
    pending_floor_ = std::max(pending_floor_, floor);
  } else {
    positions_.DropBelow(floor);
  }
}

void StreamCatalog::Adopt(AppendTables tables) const {
  events_ = std::move(tables.events);
  idempotency_ = std::move(tables.idempotency);
  batch_indexes_ = std::move(tables.batch_indexes);
  for (const format::BatchId& batch_id : tables.receiptless) batches_.emplace_back().batch_id = batch_id;
}

std::optional<AppendReceipt> StreamCatalog::ReceiptAt(uint32_t index) const {
  const Batch& batch = batches_[index];
  if (!batch.has_receipt) return std::nullopt;
  AppendReceipt receipt{OwnIdOfReceipt(index),
                        batch.first_position,
                        batch.last_position,
                        batch.stream_id,
                        std::nullopt,
                        {batch.current_revision},
                        batch.durability};
  if (batch.has_previous_revision) receipt.previous_revision = batch.previous_revision;
  return receipt;
}

void StreamCatalog::SetReceipt(uint32_t index, const AppendReceipt& receipt) {
  Batch& batch = batches_[index];
  batch.stream_id = receipt.stream_id;
  batch.first_position = receipt.first_position;
  batch.last_position = receipt.last_position;
  batch.previous_revision = receipt.previous_revision.value_or(0);
  batch.current_revision = receipt.current_revision.value;
  batch.durability = receipt.durability;
  batch.has_previous_revision = receipt.previous_revision.has_value();
  batch.has_receipt = true;
  if (receipt.batch_id != batch.batch_id) {
    odd_receipt_ids_.insert_or_assign(index, receipt.batch_id);
  } else if (!odd_receipt_ids_.empty()) {
    odd_receipt_ids_.erase(index);
  }
}

void StreamCatalog::MergeRepeatedBatchIds() {
  StreamCatalog decoded;
  decoded.batches_ = std::move(batches_);
  decoded.odd_receipt_ids_ = std::move(odd_receipt_ids_);
  batches_.clear();
  odd_receipt_ids_.clear();
  for (uint32_t index = 0; index < decoded.batches_.size(); ++index) {
    SetReceipt(BatchIndex(decoded.batches_[index].batch_id), *decoded.ReceiptAt(index));
  }
  batch_indexes_ = {};  // the AppendTablesJob builds it
}

const format::BatchId& StreamCatalog::OwnIdOfReceipt(uint32_t index) const {
  if (odd_receipt_ids_.empty()) return batches_[index].batch_id;  // spares a hash per receipt
  const auto odd_id = odd_receipt_ids_.find(index);
  return odd_id == odd_receipt_ids_.end() ? batches_[index].batch_id : odd_id->second;
}

void StreamCatalog::RecordBatch(const format::BranchId& branch, std::string_view stream_name,
                                const format::StreamId& stream_id,
                                std::span<const BatchEvent> events,
                                std::optional<IdempotencyKey> idempotency_key,
                                uint32_t request_digest, const AppendReceipt& receipt) {
  Settle();
  Upsert(streams_, BranchKeyRef(branch, stream_name),
         StreamEntry{stream_id, receipt.current_revision.value});
  const uint32_t batch = BatchIndex(receipt.batch_id);
  SetReceipt(batch, receipt);
  for (const BatchEvent& event : events) {
    events_.insert_or_assign(event.event_id, EventSlot{event.fingerprint, batch});
  }
  positions_.Add(receipt.stream_id, receipt.first_position, receipt.last_position);
  if (idempotency_key) {
    idempotency_.insert_or_assign(BranchKey{branch, std::move(*idempotency_key).Release()},
                                  IdempotencyEntry{request_digest, receipt});
  }
}

Result<> StreamCatalog::ApplyStoredEvent(StoredEvent event) {
  Settle();
  // Every check comes before the first change, so a failure changes nothing.
  CVN_ASSIGN_OR_RETURN(const CheckedStream stream, CheckStream(event));
  const uint32_t fingerprint = EventFingerprint(event);
  CVN_TRY(CheckEventId(event.envelope.event_id, fingerprint));
  StoreEventId(event.envelope.event_id, EventSlot{fingerprint, ApplyChecked(event, stream)});
  positions_.Add(event.envelope.stream_id, event.position, event.position);
  return {};
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

Result<> StreamCatalog::CheckEventId(const format::EventId& event_id,
                                     uint32_t fingerprint) const {
  const EventSlot* stored = Find(events_, event_id);
  if (stored != nullptr && stored->fingerprint != fingerprint) {
    return CorvantineError::EventIdConflict();
  }
  return {};
}

void StreamCatalog::StoreEventId(const format::EventId& event_id, const EventSlot& slot) {
  events_.insert_or_assign(event_id, slot);
}

Result<> StreamCatalog::TryStoreEventId(const format::EventId& event_id, const EventSlot& slot) {
  auto [stored, inserted] = events_.try_emplace(event_id, slot);
  if (!inserted) {
    if (stored->second.fingerprint != slot.fingerprint) return CorvantineError::EventIdConflict();
    stored->second = slot;
  }
  return {};
}

uint32_t StreamCatalog::ApplyChecked(StoredEvent event, const CheckedStream& stream) {
  const format::RecordEnvelopeV2& envelope = event.envelope;
  const uint64_t revision = envelope.stream_revision.value;
  if (stream.entry == streams_.end()) {
    streams_.emplace(BranchKey{envelope.branch_id, std::string(stream.name)},
                     StreamEntry{envelope.stream_id, revision});
  } else {
    stream.entry->second.revision = std::max(stream.entry->second.revision, revision);
  }
  const uint32_t batch = ExtendReceipt(event);
  RecordStoredIdempotency(event, *ReceiptAt(batch));
  return batch;
}

Result<> StreamCatalog::Rebuilder::Apply(StoredEvent event) {
  Result<CheckedStream> stream = catalog_.CheckStream(event);
  if (!stream.ok()) {
    CVN_TRY(StorePending());  // an earlier event's conflict comes first
    return std::move(stream).error();
  }
  catalog_.events_.Prefetch(event.envelope.event_id);
  const uint32_t batch = catalog_.ApplyChecked(event, *stream);
  pending_.push_back({event.envelope.event_id, EventSlot{EventFingerprint(event), batch}});
  if (pending_.size() == kPendingIds) return StorePending();
  return {};
}

Result<> StreamCatalog::Rebuilder::Finish() {
  CVN_TRY(StorePending());
  catalog_.IndexPositions();
  return {};
}

void StreamCatalog::IndexPositions() const {
  positions_ = IndexReceipts([](const format::StreamId&) { return true; });
  pending_positions_ = {};  // a build of older receipts
  positions_built_ = true;
}

void StreamCatalog::IndexPositionsInBackground() const {
  struct Range {
    format::StreamId stream_id;
    uint64_t first_position;
    uint64_t last_position;
  };
  std::vector<Range> ranges;
  ranges.reserve(batches_.size());
  for (const Batch& batch : batches_) {
    if (!batch.has_receipt) continue;
    ranges.push_back({batch.stream_id, batch.first_position, batch.last_position});
  }
  pending_positions_ = std::async(std::launch::async, [ranges = std::move(ranges)] {
    PositionIndex::Builder positions;
    for (const Range& range : ranges) {
      positions.Add(range.stream_id, range.first_position, range.last_position);
    }
    return std::move(positions).Finish();
  });
}

Result<> StreamCatalog::Rebuilder::StorePending() {
  for (const auto& [event_id, slot] : pending_) {
    Result<> stored = catalog_.TryStoreEventId(event_id, slot);
    if (!stored.ok()) {
      pending_.clear();
      return stored;
    }
  }
  pending_.clear();
  return {};
}

uint32_t StreamCatalog::ExtendReceipt(StoredEvent event) {
  const format::RecordEnvelopeV2& envelope = event.envelope;
  const uint32_t batch = BatchIndex(envelope.batch_id);
  std::optional<AppendReceipt> receipt = ReceiptAt(batch);
  if (!receipt) {
    const uint64_t revision = envelope.stream_revision.value;
    receipt.emplace();
    receipt->batch_id = envelope.batch_id;
    receipt->first_position = event.position;
    receipt->stream_id = envelope.stream_id;
    if (revision > 0) receipt->previous_revision = revision - 1;
    // The durability an append reached is not in the log.
    receipt->durability = ReceiptDurability::kBuffered;
  }
  receipt->last_position = event.position;
  receipt->current_revision = envelope.stream_revision;
  SetReceipt(batch, *receipt);
  return batch;
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
