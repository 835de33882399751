// The binary form of receipts and of the stream catalog, in the codec of
// util/coding.h.

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <future>
#include <utility>
#include <vector>

#include "stream/catalog.h"

namespace corvantine::stream {

namespace {

using format::PutId;
using format::ReadId;
using util::BinaryReader;
using util::BinaryWriter;
using util::kMinEncodedBytes;

// The fewest bytes an encoded entry of each map can take, by which the
// decoder bounds an entry count before it reserves room for it: the sum over
// the fields as Encode writes them.
constexpr size_t kIdBytes = format::kEncodedIdBytes;
constexpr size_t kMinBranchKeyBytes = kMinEncodedBytes<format::BranchId, std::string>;
constexpr size_t kMinReceiptBytes =
    kMinEncodedBytes<format::BatchId, uint64_t, uint64_t, format::StreamId,
                     std::optional<uint64_t>, uint64_t, ReceiptDurability>;
constexpr size_t kMinStreamEntryBytes =
    kMinBranchKeyBytes + kMinEncodedBytes<format::StreamId, uint64_t>;
constexpr size_t kMinEventEntryBytes =
    kMinEncodedBytes<format::EventId, uint32_t, format::BatchId>;
constexpr size_t kMinIdempotencyEntryBytes =
    kMinBranchKeyBytes + kMinEncodedBytes<uint32_t> + kMinReceiptBytes;
constexpr size_t kMinReceiptEntryBytes = kMinEncodedBytes<format::BatchId> + kMinReceiptBytes;

// Stream names are read back as UTF-8 text, idempotency keys as bytes; both
// are written alike.
void PutBranchKey(BinaryWriter& writer, const BranchKey& key) {
  PutId(writer, key.branch);
  writer.PutBytes(key.bytes);
}

Result<BranchKey> ReadBranchKey(BinaryReader& reader, bool utf8_text) {
  CVN_ASSIGN_OR_RETURN(auto branch, ReadId<format::BranchId>(reader));
  CVN_ASSIGN_OR_RETURN(std::string_view bytes, utf8_text ? reader.String() : reader.Bytes());
  return BranchKey{branch, std::string(bytes)};
}

// The map's entries in ascending key order, which makes encodings
// reproducible whatever the hash map's iteration order.
template <typename Map>
std::vector<const typename Map::value_type*> SortedEntries(const Map& map) {
  std::vector<const typename Map::value_type*> entries;
  entries.reserve(map.size());
  for (const auto& entry : map) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  return entries;
}

template <typename Map, typename PutEntry>
void PutMap(BinaryWriter& writer, const Map& map, PutEntry put_entry) {
  writer.PutLength(map.size());
  for (const auto* entry : SortedEntries(map)) put_entry(entry->first, entry->second);
}

// The entries of a flat id map in ascending key order. They are small and
// trivially copied, so they are sorted as copies, within one array, rather
// than through pointers into a table far larger than the caches. A counting
// pass by the first key byte comes first: generated ids begin with the low
// byte of a time in nanoseconds, so the buckets it leaves are small enough
// to sort in cache. Ids that share a first byte only make a bucket larger.
template <typename Key, typename Value>
std::vector<std::pair<Key, Value>> SortedEntries(const util::FlatIdMap<Key, Value>& map) {
  std::array<size_t, 257> bucket_starts{};
  for (const auto& entry : map) ++bucket_starts[entry.first.bytes()[0] + 1];
  for (size_t b = 1; b < bucket_starts.size(); ++b) bucket_starts[b] += bucket_starts[b - 1];
  std::vector<std::pair<Key, Value>> sorted(map.size());
  std::array<size_t, 257> next = bucket_starts;
  for (const auto& entry : map) sorted[next[entry.first.bytes()[0]]++] = entry;
  for (size_t b = 0; b + 1 < bucket_starts.size(); ++b) {
    std::sort(sorted.begin() + static_cast<ptrdiff_t>(bucket_starts[b]),
              sorted.begin() + static_cast<ptrdiff_t>(bucket_starts[b + 1]),
              [](const auto& x, const auto& y) { return x.first < y.first; });
  }
  return sorted;
}

template <typename Key, typename Value, typename PutEntry>
void PutMap(BinaryWriter& writer, const util::FlatIdMap<Key, Value>& map, PutEntry put_entry) {
  writer.PutLength(map.size());
  for (const auto& [key, value] : SortedEntries(map)) put_entry(key, value);
}

using DoneBefore = std::function<void(size_t)>;

// Reads `count` entries in groups: each group is read whole and `prefetch`
// called on each entry before `store` takes them, so that where entries land
// in random places of tables far larger than the caches, their cache misses
// overlap. After each group the caller is told how far the reader went.
// Whatever was stored stays when an entry fails to read.
template <typename ReadEntry, typename Prefetch, typename Store>
Result<> ReadInGroups(BinaryReader& reader, size_t count, ReadEntry read_entry, Prefetch prefetch,
                      Store store, const DoneBefore& done_before) {
  constexpr size_t kGroup = 16;
  using Entry = std::decay_t<decltype(*read_entry(reader))>;
  std::array<Entry, kGroup> group;
  for (size_t done = 0; done < count;) {
    const size_t size = std::min(kGroup, count - done);
    for (size_t i = 0; i < size; ++i) {
      CVN_ASSIGN_OR_RETURN(group[i], read_entry(reader));
      prefetch(group[i]);
    }
    for (size_t i = 0; i < size; ++i) store(std::move(group[i]));
    done += size;
    if (done_before) done_before(reader.position());
  }
  return {};
}

// A map of few entries, each stored as read.
template <typename Map, typename ReadEntry>
Result<> ReadMap(BinaryReader& reader, size_t min_entry_bytes, ReadEntry read_entry, Map& map,
                 const DoneBefore& done_before) {
  CVN_ASSIGN_OR_RETURN(size_t count, reader.Length(min_entry_bytes));
  map.reserve(count);
  auto store = [&](auto entry) {
    map.insert_or_assign(std::move(entry.first), std::move(entry.second));
  };
  return ReadInGroups(reader, count, read_entry, [](const auto&) {}, store, done_before);
}

// Checks the entries of a map and passes over them.
template <typename ReadEntry>
Result<> SkipMap(BinaryReader& reader, size_t min_entry_bytes, ReadEntry read_entry,
                 const DoneBefore& done_before) {
  CVN_ASSIGN_OR_RETURN(size_t count, reader.Length(min_entry_bytes));
  return ReadInGroups(reader, count, read_entry, [](const auto&) {}, [](auto) {}, done_before);
}

Result<std::pair<BranchKey, StreamEntry>> ReadStreamEntry(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(BranchKey key, ReadBranchKey(reader, /*utf8_text=*/true));
  StreamEntry entry;
  CVN_ASSIGN_OR_RETURN(entry.stream_id, ReadId<format::StreamId>(reader));
  CVN_ASSIGN_OR_RETURN(entry.revision, reader.U64());
  return std::pair(std::move(key), entry);
}

// An event entry has a fixed size, and a checkpoint holds one per event: it
// is read in one piece rather than field by field.
Result<std::pair<format::EventId, EventEntry>> ReadEventEntry(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(std::string_view bytes, reader.Raw(kMinEventEntryBytes));
  format::IdBytes event_id;
  format::IdBytes batch_id;
  std::memcpy(event_id.data(), bytes.data(), kIdBytes);
  const uint32_t fingerprint = util::DecodeFixed32(bytes.data() + kIdBytes);
  std::memcpy(batch_id.data(), bytes.data() + kIdBytes + 4, kIdBytes);
  return std::pair(format::EventId(event_id), EventEntry{fingerprint, format::BatchId(batch_id)});
}

Result<std::pair<BranchKey, IdempotencyEntry>> ReadIdempotencyEntry(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(BranchKey key, ReadBranchKey(reader, /*utf8_text=*/false));
  IdempotencyEntry entry;
  CVN_ASSIGN_OR_RETURN(entry.request_digest, reader.U32());
  CVN_ASSIGN_OR_RETURN(entry.receipt, AppendReceipt::Decode(reader));
  return std::pair(std::move(key), std::move(entry));
}

Result<std::pair<format::BatchId, AppendReceipt>> ReadReceiptEntry(BinaryReader& reader) {
  CVN_ASSIGN_OR_RETURN(auto batch_id, ReadId<format::BatchId>(reader));
  CVN_ASSIGN_OR_RETURN(AppendReceipt receipt, AppendReceipt::Decode(reader));
  return std::pair(batch_id, receipt);
}

// A receipt entry is the batch id it is filed under, then the receipt, all
// of fixed size but for the optional previous revision, whose tag lies at
// kReceiptTagOffset. A checkpoint holds one per batch: it is parsed in place
// where it is whole and sound, and otherwise read field by field, which
// gives the reader's errors.
constexpr size_t kReceiptTagOffset = 2 * kIdBytes + 8 + 8 + kIdBytes;
constexpr size_t kMaxReceiptEntryBytes = kMinReceiptEntryBytes + 8;

template <typename IdType>
IdType IdAt(const char* bytes) {
  format::IdBytes id;
  std::memcpy(id.data(), bytes, kIdBytes);
  return IdType(id);
}

Result<std::pair<format::BatchId, AppendReceipt>> ParseReceiptEntry(BinaryReader& reader) {
  const std::string_view rest = reader.input().substr(reader.position());
  if (rest.size() < kMaxReceiptEntryBytes) return ReadReceiptEntry(reader);
  const char* entry = rest.data();
  const uint8_t tag = static_cast<uint8_t>(entry[kReceiptTagOffset]);
  const char* tail = entry + kReceiptTagOffset + 1 + (tag == 1 ? 8 : 0);
  const uint32_t durability = util::DecodeFixed32(tail + 8);
  if (tag > 1 || durability >= kReceiptDurabilityCount) return ReadReceiptEntry(reader);
  AppendReceipt receipt;
  receipt.batch_id = IdAt<format::BatchId>(entry + kIdBytes);
  receipt.first_position = util::DecodeFixed64(entry + 2 * kIdBytes);
  receipt.last_position = util::DecodeFixed64(entry + 2 * kIdBytes + 8);
  receipt.stream_id = IdAt<format::StreamId>(entry + 2 * kIdBytes + 16);
  if (tag == 1) receipt.previous_revision = util::DecodeFixed64(entry + kReceiptTagOffset + 1);
  receipt.current_revision.value = util::DecodeFixed64(tail);
  receipt.durability = static_cast<ReceiptDurability>(durability);
  (void)reader.Raw(static_cast<size_t>(tail + 12 - entry));
  return std::pair(IdAt<format::BatchId>(entry), receipt);
}

}  // namespace

void AppendReceipt::Encode(BinaryWriter& writer) const {
  PutId(writer, batch_id);
  writer.PutU64(first_position);
  writer.PutU64(last_position);
  PutId(writer, stream_id);
  util::PutOptional(writer, previous_revision, &BinaryWriter::PutU64);
  writer.PutU64(current_revision.value);
  writer.PutVariantIndex(static_cast<uint32_t>(durability));
}

Result<AppendReceipt> AppendReceipt::Decode(BinaryReader& reader) {
  AppendReceipt receipt;
  CVN_ASSIGN_OR_RETURN(receipt.batch_id, ReadId<format::BatchId>(reader));
  CVN_ASSIGN_OR_RETURN(receipt.first_position, reader.U64());
  CVN_ASSIGN_OR_RETURN(receipt.last_position, reader.U64());
  CVN_ASSIGN_OR_RETURN(receipt.stream_id, ReadId<format::StreamId>(reader));
  CVN_ASSIGN_OR_RETURN(receipt.previous_revision,
                       util::ReadOptional<uint64_t>(reader, &BinaryReader::U64));
  CVN_ASSIGN_OR_RETURN(receipt.current_revision.value, reader.U64());
  CVN_ASSIGN_OR_RETURN(uint32_t durability, reader.VariantIndex(kReceiptDurabilityCount));
  receipt.durability = static_cast<ReceiptDurability>(durability);
  return receipt;
}

void StreamCatalog::Encode(BinaryWriter& writer) const {
  Settle();  // a checkpoint or an anchor holds every table, those still being built too
  PutMap(writer, streams_, [&](const BranchKey& key, const StreamEntry& entry) {
    PutBranchKey(writer, key);
    PutId(writer, entry.stream_id);
    writer.PutU64(entry.revision);
  });
  PutMap(writer, events_, [&](const format::EventId& event_id, const EventSlot& slot) {
    PutId(writer, event_id);
    writer.PutU32(slot.fingerprint);
    PutId(writer, batches_[slot.batch].batch_id);
  });
  PutMap(writer, idempotency_, [&](const BranchKey& key, const IdempotencyEntry& entry) {
    PutBranchKey(writer, key);
    writer.PutU32(entry.request_digest);
    entry.receipt.Encode(writer);
  });
  // Batches that events name but no receipt covers are left out.
  writer.PutLength(ReceiptCount());
  for (const auto& [batch_id, index] : SortedEntries(batch_indexes_)) {
    const std::optional<AppendReceipt> receipt = ReceiptAt(index);
    if (!receipt) continue;
    PutId(writer, batch_id);
    receipt->Encode(writer);
  }
}

Result<StreamCatalog> StreamCatalog::Decode(BinaryReader& reader) {
  auto run_here = [&](AppendTablesJob job) {
    std::promise<AppendTables> built;
    built.set_value(std::move(job).Run(reader.input(), [](size_t) {}));
    return built.get_future();
  };
  CVN_ASSIGN_OR_RETURN(StreamCatalog catalog, DecodeDeferring(reader, {}, run_here));
  catalog.Settle();
  return catalog;
}

// The maps are read in the order they come, but the events and idempotency
// keys only checked and passed over: the job builds them once the receipts
// have given every batch its index.
Result<StreamCatalog> StreamCatalog::DecodeDeferring(BinaryReader& reader,
                                                     const DoneBefore& done_before,
                                                     const StartJob& start) {
  StreamCatalog catalog;
  AppendTablesJob job;
  CVN_TRY(ReadMap(reader, kMinStreamEntryBytes, ReadStreamEntry, catalog.streams_, done_before));
  CVN_ASSIGN_OR_RETURN(job.event_count, reader.Length(kMinEventEntryBytes));
  job.events_offset = reader.position();
  CVN_TRY(reader.Raw(job.event_count * kMinEventEntryBytes));
  job.idempotency_offset = reader.position();
  CVN_TRY(SkipMap(reader, kMinIdempotencyEntryBytes, ReadIdempotencyEntry, done_before));
  CVN_TRY(catalog.DecodeReceipts(reader, done_before));
  catalog.positions_built_ = false;
  job.receipt_ids.reserve(catalog.batches_.size());
  for (const Batch& batch : catalog.batches_) job.receipt_ids.push_back(batch.batch_id);
  catalog.pending_tables_ = start(std::move(job));
  return catalog;
}

StreamCatalog::AppendTables StreamCatalog::AppendTablesJob::Run(
    std::string_view input, const std::function<void(size_t)>& release) && {
  BinaryReader reader(input);
  const uint32_t receipt_batches = static_cast<uint32_t>(receipt_ids.size());
  tables.batch_indexes.reserve(receipt_ids.size());
  for (uint32_t index = 0; index < receipt_batches; ++index) {
    tables.batch_indexes.try_emplace(receipt_ids[index], index);
  }
  receipt_ids = {};
  auto index_of = [&](const format::BatchId& batch_id) {
    auto [entry, added] = tables.batch_indexes.try_emplace(
        batch_id, receipt_batches + static_cast<uint32_t>(tables.receiptless.size()));
    if (added) tables.receiptless.push_back(batch_id);
    return entry->second;
  };
  tables.events.reserve(event_count);
  auto prefetch = [&](const std::pair<format::EventId, EventEntry>& entry) {
    tables.events.Prefetch(entry.first);
    tables.batch_indexes.Prefetch(entry.second.batch_id);
  };
  auto store = [&](const std::pair<format::EventId, EventEntry>& entry) {
    const auto& [fingerprint, batch_id] = entry.second;
    tables.events.insert_or_assign(entry.first, EventSlot{fingerprint, index_of(batch_id)});
  };
  // The decoder checked these bytes: neither read can fail.
  (void)reader.Raw(events_offset);
  (void)ReadInGroups(reader, event_count, ReadEventEntry, prefetch, store, release);
  (void)reader.Raw(idempotency_offset - reader.position());
  (void)ReadMap(reader, kMinIdempotencyEntryBytes, ReadIdempotencyEntry, tables.idempotency,
                release);
  return std::move(tables);
}

// Each receipt takes the next index. Receipts are written in ascending
// batch id order, so no id repeats where each is above the one before;
// elsewhere a repeated id keeps its first index and its last receipt.
Result<> StreamCatalog::DecodeReceipts(BinaryReader& reader, const DoneBefore& done_before) {
  constexpr size_t kReleaseEvery = 4096;
  CVN_ASSIGN_OR_RETURN(size_t count, reader.Length(kMinReceiptEntryBytes));
  batches_.reserve(count);
  bool ascending = true;
  for (uint32_t index = 0; index < count; ++index) {
    CVN_ASSIGN_OR_RETURN(const auto entry, ParseReceiptEntry(reader));
    ascending = ascending && (index == 0 || batches_.back().batch_id < entry.first);
    batches_.emplace_back().batch_id = entry.first;
    SetReceipt(index, entry.second);
    if (done_before && index % kReleaseEvery == 0) done_before(reader.position());
  }
  if (!ascending) MergeRepeatedBatchIds();
  return {};
}

}  // namespace corvantine::stream
