// The stream catalog: the in-memory index that makes appends checkable and
// repeatable. It knows which streams exist on which branch with which id and
// last revision, which event ids were stored with what content, which
// idempotency keys were used for what request, and the receipt of every
// batch. The database asks it before each append and records each append in
// it; it is saved whole in checkpoints and can be rebuilt from the log alone.
// Beside it, derived from the receipts and never saved, it keeps the
// position index of every stream's batches (stream/position_index.h).
//
// Invariants: every batch an event names has a receipt; a (branch, name)
// pair keeps one stream id for ever; a stream's revision only grows. The
// same name on two branches is two streams.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error/error.h"
#include "format/ids.h"
#include "stream/event.h"
#include "stream/position_index.h"
#include "stream/stream.h"
#include "util/coding.h"
#include "util/flat_id_map.h"

namespace corvantine::stream {

struct StreamEntry {
  format::StreamId stream_id;
  uint64_t revision = 0;  // of the stream's last stored event

  friend bool operator==(const StreamEntry&, const StreamEntry&) = default;
};

// An event id's entry as lookups give it.
struct EventEntry {
  uint32_t fingerprint = 0;  // EventFingerprint of the stored event
  format::BatchId batch_id;  // the batch that holds it

  friend bool operator==(const EventEntry&, const EventEntry&) = default;
};

struct IdempotencyEntry {
  uint32_t request_digest = 0;  // CRC-32C of the request that used the key
  AppendReceipt receipt;

  friend bool operator==(const IdempotencyEntry&, const IdempotencyEntry&) = default;
};

// One event of an appended batch, as RecordBatch takes it.
struct BatchEvent {
  format::EventId event_id;
  uint32_t fingerprint = 0;
};

// An event's fingerprint with the receipt of the batch that holds it.
struct StoredEventReceipt {
  uint32_t fingerprint = 0;
  AppendReceipt receipt;

  friend bool operator==(const StoredEventReceipt&, const StoredEventReceipt&) = default;
};

// A key scoped to a branch: a stream name or idempotency key bytes.
struct BranchKey {
  format::BranchId branch;
  std::string bytes;

  friend bool operator==(const BranchKey&, const BranchKey&) = default;
  friend auto operator<=>(const BranchKey&, const BranchKey&) = default;
};

// A borrowed BranchKey, so that lookups need not build a string.
struct BranchKeyRef {
  BranchKeyRef(const format::BranchId& branch, std::string_view bytes)
      : branch(branch), bytes(bytes) {}
  BranchKeyRef(const BranchKey& key) : branch(key.branch), bytes(key.bytes) {}

  const format::BranchId& branch;
  std::string_view bytes;
};

// Hash and equality over BranchKey and BranchKeyRef alike.
struct BranchKeyHash {
  using is_transparent = void;
  size_t operator()(BranchKeyRef key) const;
};
struct BranchKeyEqual {
  using is_transparent = void;
  bool operator()(BranchKeyRef a, BranchKeyRef b) const {
    return a.branch == b.branch && a.bytes == b.bytes;
  }
};

// What the catalog keeps per event id: 24 bytes with the key. The batch is
// named by its place in the catalog's table of batches rather than by its
// 16-byte id, which every event of the batch would repeat.
struct EventSlot {
  uint32_t fingerprint = 0;  // EventFingerprint of the stored event
  uint32_t batch = 0;        // the batch's index in the catalog

  friend bool operator==(const EventSlot&, const EventSlot&) = default;
};

class StreamCatalog {
 public:
  // Iteration order follows no rule; Encode sorts. The maps keyed by id hold
  // an entry per event or batch, so they are flat: a checkpoint of a million
  // events loads without a million allocations.
  using StreamMap = std::unordered_map<BranchKey, StreamEntry, BranchKeyHash, BranchKeyEqual>;
  using EventMap = util::FlatIdMap<format::EventId, EventSlot>;
  using IdempotencyMap =
      std::unordered_map<BranchKey, IdempotencyEntry, BranchKeyHash, BranchKeyEqual>;
  using BatchIndexMap = util::FlatIdMap<format::BatchId, uint32_t>;

  // The maps that only appends and lookups by event id, idempotency key or
  // batch id ask for. An open may have them built on another thread while
  // it goes on: see DecodeDeferring.
  struct AppendTables {
    EventMap events;
    IdempotencyMap idempotency;
    BatchIndexMap batch_indexes;
    // Batches that events name but no receipt covers, indexed on from the
    // receipts' batches.
    std::vector<format::BatchId> receiptless;
  };
  // Builds the AppendTables of a decoded catalog from the bytes it was
  // decoded from, touching nothing of the catalog: any thread may run it.
  class AppendTablesJob {
   public:
    // `input` holds the same bytes as the decoder's reader did; `release(n)`
    // is called now and then once no byte before n will be read again.
    AppendTables Run(std::string_view input, const std::function<void(size_t)>& release) &&;

   private:
    friend class StreamCatalog;
    size_t events_offset = 0;  // of the first event entry
    size_t event_count = 0;
    size_t idempotency_offset = 0;  // of the map's entry count
    std::vector<format::BatchId> receipt_ids;  // by batch index, each once
    AppendTables tables;
  };
  // Starts a job and hands out its future result.
  using StartJob = std::function<std::future<AppendTables>(AppendTablesJob)>;

  StreamCatalog() = default;
  StreamCatalog(StreamCatalog&&) = default;
  StreamCatalog& operator=(StreamCatalog&&) = default;
  // A copy waits for the tables of `other` first.
  StreamCatalog(const StreamCatalog& other);
  StreamCatalog& operator=(const StreamCatalog& other);

  // Rebuilds a catalog from the event records of the whole log, every
  // branch, in position order, as `source.Next()` hands them out: each call
  // returns a Result holding the next record (borrowed or owned form) or
  // nothing at the end. An error from the source or from ApplyStoredEvent
  // ends the rebuild with that error.
  template <typename Source>
  static Result<StreamCatalog> Rebuild(Source& source);

  // Lookups; nothing when the catalog holds no entry.
  std::optional<StreamEntry> Stream(const format::BranchId& branch, std::string_view name) const;
  std::optional<uint64_t> Revision(const format::BranchId& branch, std::string_view name) const;
  std::optional<format::StreamId> StreamIdOf(const format::BranchId& branch,
                                             std::string_view name) const;
  std::optional<IdempotencyEntry> Idempotent(const format::BranchId& branch,
                                             std::string_view key) const;
  // The fingerprint stored for the event id.
  std::optional<uint32_t> EventDigest(const format::EventId& event_id) const;
  std::optional<EventEntry> Event(const format::EventId& event_id) const;
  std::optional<AppendReceipt> BatchReceipt(const format::BatchId& batch_id) const;
  // Nothing unless both the event and its batch's receipt are known.
  std::optional<StoredEventReceipt> EventReceipt(const format::EventId& event_id) const;
  // The receipt with the highest last position: the batch the catalog ends
  // with. Walks every receipt.
  std::optional<AppendReceipt> LastBatch() const;
  size_t ReceiptCount() const;
  // Calls `visit(batch_id, receipt)` for every receipt, in no set order.
  template <typename Visit>
  void ForEachReceipt(Visit visit) const;

  // Records an appended batch, replacing any entries it meets: the stream's
  // id and revision (the receipt's current revision), every listed event
  // (caller-given and generated ids alike), the receipt under its batch id,
  // and, when a key is given, the idempotency entry.
  void RecordBatch(const format::BranchId& branch, std::string_view stream_name,
                   const format::StreamId& stream_id, std::span<const BatchEvent> events,
                   std::optional<IdempotencyKey> idempotency_key, uint32_t request_digest,
                   const AppendReceipt& receipt);

  // Adds one stored event of the log, as a rebuild does, in this order:
  //   1. its stream name (the errors of StreamNameView);
  //   2. the stream entry of (branch, name): created from the record, or its
  //      revision raised to the record's; a different stream id is Corrupt
  //      at the record's position, "stream name maps to multiple stream IDs";
  //   3. events[event id] := (fingerprint, batch id); an id already stored
  //      with another fingerprint is EventIdConflict;
  //   4. the batch's receipt: created from its first record (previous
  //      revision = revision - 1, durability buffered), else extended to
  //      this record's position and revision;
  //   5. with "corvantine.idempotency_key" and a 4-byte
  //      "corvantine.request_digest", the idempotency entry (digest
  //      little-endian, the receipt as it now stands); a digest of another
  //      length adds nothing.
  // On error the catalog is unchanged.
  Result<> ApplyStoredEvent(StoredEvent event);

  // Applies a run of stored events as ApplyStoredEvent does, one after the
  // other, to the same catalog and with the same first error, but stores
  // event ids a few events late: the ids of a rebuild land in random places
  // of a table far larger than the caches, and storing them in groups lets
  // their cache misses overlap. Finish() stores the last of them. After an
  // error the catalog holds part of an event and must be discarded.
  class Rebuilder {
   public:
    explicit Rebuilder(StreamCatalog& catalog) : catalog_(catalog) {
      catalog_.SettleTables();  // Finish indexes the positions anew
      pending_.reserve(kPendingIds);
    }

    Result<> Apply(StoredEvent event);
    // Also indexes the positions of every batch, once, rather than event by
    // event as the batches grow.
    Result<> Finish();
    // Applies every record `source.Next()` hands out, as Rebuild takes them,
    // then finishes; an error of the source comes after those of the events
    // before it.
    template <typename Source>
    Result<> ApplyAll(Source& source);

   private:
    static constexpr size_t kPendingIds = 16;

    Result<> StorePending();

    StreamCatalog& catalog_;
    std::vector<std::pair<format::EventId, EventSlot>> pending_;  // in log order
  };

  // The maps streams, events (event id, fingerprint, batch id), idempotency
  // and receipts (batch id, receipt), each as a u64 count and its entries,
  // key then value, in ascending key order (ids by their bytes, branch keys
  // by branch then bytes), so equal catalogs encode to equal bytes. Waits
  // for the tables a DecodeDeferring job still builds: an encoding is whole.
  void Encode(util::BinaryWriter& writer) const;
  // A repeated key keeps the last value. Never allocates for more entries
  // than the remaining bytes can hold.
  static Result<StreamCatalog> Decode(util::BinaryReader& reader);
  // As Decode, checking every byte, but building the AppendTables by a job
  // given to `start` once the rest is decoded, and the position index only
  // when first asked for or once BuildInBackground() is called; the catalog
  // waits for what it needs when first asked for it. Now and then calls
  // `done_before(n)` when no byte before the reader's position n will be
  // read again by the decoder itself (the job reads its own view).
  static Result<StreamCatalog> DecodeDeferring(util::BinaryReader& reader,
                                               const std::function<void(size_t)>& done_before,
                                               const StartJob& start);
  // Builds on threads of their own what a DecodeDeferring left to come: the
  // position index, and the tables, if their job waits to be asked for.
  void BuildInBackground();

  const StreamMap& streams() const { return streams_; }
  const EventMap& events() const {
    Settle();
    return events_;
  }
  const IdempotencyMap& idempotency() const {
    Settle();
    return idempotency_;
  }
  // Calls visit(first, end) for each range of the stream's positions within
  // [from, to), ascending, as PositionIndex::ForEachRange does. A decoded
  // catalog builds its position index later (DecodeDeferring); until it is
  // in, the stream's ranges come from its receipts alone, so that the first
  // read of a stream after an open waits for no other stream's.
  template <typename Visit>
  void ForEachRange(const format::StreamId& stream, uint64_t from, uint64_t to,
                    Visit&& visit) const {
    if (PositionsPending()) {
      PositionsOf(stream).ForEachRange(stream, from, to, visit);
      return;
    }
    SettlePositions();
    positions_.ForEachRange(stream, from, to, visit);
  }

  // Forgets the positions below a retention floor, which no read asks for.
  void ForgetPositionsBelow(uint64_t floor);

  // Equal entries in every map, wherever each catalog keeps them.
  friend bool operator==(const StreamCatalog& a, const StreamCatalog& b);

 private:
  // A batch, at its index: its id, and its receipt once known (a checkpoint
  // lists events before receipts, so an event may name a batch first). The
  // receipt's fields lie here without its copy of the batch id, 72 bytes in
  // all rather than 104: that copy is the batch's own id, unless a
  // checkpoint filed the receipt under another, which odd_receipt_ids_ keeps.
  struct Batch {
    format::BatchId batch_id;
    format::StreamId stream_id;
    uint64_t first_position = 0;
    uint64_t last_position = 0;
    uint64_t previous_revision = 0;
    uint64_t current_revision = 0;
    ReceiptDurability durability = ReceiptDurability::kBuffered;
    bool has_previous_revision = false;
    bool has_receipt = false;
  };

  // The index of `batch_id`, added without a receipt if it is new. Indexes
  // are 32 bits: a catalog holds fewer than 2^32 batches.
  uint32_t BatchIndex(const format::BatchId& batch_id);
  // Decode's step for the receipts, which come first in the batches' table.
  // Leaves batch_indexes_ to the AppendTablesJob.
  Result<> DecodeReceipts(util::BinaryReader& reader,
                          const std::function<void(size_t)>& done_before);
  // Gives the batches decoded under one id a single index, the first, with
  // the last of their receipts.
  void MergeRepeatedBatchIds();
  // Waits for the AppendTables and position index of DecodeDeferring, if
  // they are still to come, and takes them in. Every use of those maps, and
  // every change to the catalog, comes after it.
  void Settle() const;
  void SettleTables() const;
  void Adopt(AppendTables tables) const;
  std::optional<AppendReceipt> ReceiptAt(uint32_t index) const;
  void SetReceipt(uint32_t index, const AppendReceipt& receipt);
  // The batch id the receipt at `index` holds.
  const format::BatchId& OwnIdOfReceipt(uint32_t index) const;
  // Builds the position index anew from the receipts, here or on a thread
  // of its own.
  void IndexPositions() const;
  void IndexPositionsInBackground() const;
  // Whether the position index is still to come, or still being built.
  bool PositionsPending() const;
  void SettlePositions() const;
  // The position index of one stream, built from its receipts.
  PositionIndex PositionsOf(const format::StreamId& stream) const;
  // The position index of the receipts of the streams `wanted` takes.
  template <typename Wanted>
  PositionIndex IndexReceipts(Wanted wanted) const;
  bool SameEvents(const StreamCatalog& other) const;
  bool SameReceipts(const StreamCatalog& other) const;

  // Steps 1 and 2 of ApplyStoredEvent: the name, and the stream's entry if
  // it has one.
  struct CheckedStream {
    std::string_view name;
    StreamMap::iterator entry;
  };
  Result<CheckedStream> CheckStream(StoredEvent event);
  // Step 3: CheckEventId before any change, StoreEventId once the batch's
  // index is known, or TryStoreEventId for both at once.
  Result<> CheckEventId(const format::EventId& event_id, uint32_t fingerprint) const;
  void StoreEventId(const format::EventId& event_id, const EventSlot& slot);
  Result<> TryStoreEventId(const format::EventId& event_id, const EventSlot& slot);
  // Steps 2, 4 and 5, once the event is known to be sound; the index of the
  // event's batch.
  uint32_t ApplyChecked(StoredEvent event, const CheckedStream& stream);
  // Steps 4 and 5 of ApplyStoredEvent.
  uint32_t ExtendReceipt(StoredEvent event);
  void RecordStoredIdempotency(StoredEvent event, const AppendReceipt& receipt);

  // The maps that Settle takes in, and the batches it adds for events
  // without a receipt, are mutable: they change where they are kept, never
  // what the catalog holds.
  StreamMap streams_;
  mutable EventMap events_;
  mutable IdempotencyMap idempotency_;
  // Batches by index, and their indexes by id; an index never changes.
  mutable std::vector<Batch> batches_;
  mutable BatchIndexMap batch_indexes_;
  mutable std::future<AppendTables> pending_tables_;
  std::unordered_map<uint32_t, format::BatchId> odd_receipt_ids_;  // by batch index
  mutable PositionIndex positions_;  // follows the receipts, once built
  mutable bool positions_built_ = true;
  mutable std::future<PositionIndex> pending_positions_;
  mutable uint64_t pending_floor_ = 0;  // to forget below once they come
};

template <typename Visit>
void StreamCatalog::ForEachReceipt(Visit visit) const {
  for (uint32_t index = 0; index < batches_.size(); ++index) {
    if (batches_[index].has_receipt) visit(batches_[index].batch_id, *ReceiptAt(index));
  }
}

template <typename Source>
Result<StreamCatalog> StreamCatalog::Rebuild(Source& source) {
  StreamCatalog catalog;
  CVN_TRY(Rebuilder(catalog).ApplyAll(source));
  return catalog;
}

template <typename Source>
Result<> StreamCatalog::Rebuilder::ApplyAll(Source& source) {
  for (;;) {
    auto record = source.Next();
    if (!record.ok()) {
      CVN_TRY(Finish());  // an earlier event's error comes first
      return std::move(record).error();
    }
    if (!*record) return Finish();
    CVN_TRY(Apply(**record));
  }
}

}  // namespace corvantine::stream
