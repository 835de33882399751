// The catalog against a model of plain ordered maps: random batches over a
// few branches, streams, event ids, batch ids and idempotency keys, so that
// entries are often replaced. Lookups must answer as the model does, before
// and after an encoding round trip, and a decoded catalog must go on as the
// one it was encoded from.

#include <future>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "stream/catalog.h"

namespace corvantine::stream {
namespace {

template <typename Id>
Id RandomIdOf(std::mt19937_64& random, int pool) {
  format::IdBytes bytes{};
  bytes[0] = static_cast<uint8_t>(random() % pool);
  bytes[9] = static_cast<uint8_t>(random() % 2);  // ids that differ past their first byte
  return Id(bytes);
}

struct Model {
  using Key = std::pair<format::BranchId, std::string>;
  std::map<Key, StreamEntry> streams;
  std::map<format::EventId, EventEntry> events;
  std::map<Key, IdempotencyEntry> idempotency;
  std::map<format::BatchId, AppendReceipt> receipts;
};

// Records one random batch in both.
void RecordRandomBatch(std::mt19937_64& random, uint64_t position, StreamCatalog& catalog,
                       Model& model) {
  const auto branch = RandomIdOf<format::BranchId>(random, 3);
  const std::string name = "s" + std::to_string(random() % 4);
  const auto stream_id = RandomIdOf<format::StreamId>(random, 8);
  AppendReceipt receipt{RandomIdOf<format::BatchId>(random, 40), position, position,
                        stream_id, std::nullopt, {random() % 50},
                        static_cast<ReceiptDurability>(random() % kReceiptDurabilityCount)};
  if (random() % 2) receipt.previous_revision = random() % 50;
  std::vector<BatchEvent> events(random() % 5);
  for (BatchEvent& event : events) {
    event = {RandomIdOf<format::EventId>(random, 100), static_cast<uint32_t>(random())};
    model.events[event.event_id] = {event.fingerprint, receipt.batch_id};
  }
  std::optional<IdempotencyKey> key;
  const auto digest = static_cast<uint32_t>(random());
  if (random() % 3 == 0) {
    key = *IdempotencyKey::New("k" + std::to_string(random() % 6));
    model.idempotency[{branch, key->bytes()}] = {digest, receipt};
  }
  model.streams[{branch, name}] = {stream_id, receipt.current_revision.value};
  model.receipts[receipt.batch_id] = receipt;
  catalog.RecordBatch(branch, name, stream_id, events, std::move(key), digest, receipt);
}

void ExpectAnswersAsModel(const StreamCatalog& catalog, const Model& model) {
  for (const auto& [key, entry] : model.streams) {
    EXPECT_EQ(catalog.Stream(key.first, key.second), entry);
  }
  for (const auto& [key, entry] : model.idempotency) {
    EXPECT_EQ(catalog.Idempotent(key.first, key.second), entry);
  }
  for (const auto& [event_id, entry] : model.events) {
    EXPECT_EQ(catalog.Event(event_id), entry);
    EXPECT_EQ(catalog.EventReceipt(event_id),
              (StoredEventReceipt{entry.fingerprint, model.receipts.at(entry.batch_id)}));
  }
  std::optional<AppendReceipt> last;
  for (const auto& [batch_id, receipt] : model.receipts) {
    EXPECT_EQ(catalog.BatchReceipt(batch_id), receipt);
    if (!last || receipt.last_position > last->last_position) last = receipt;
  }
  EXPECT_EQ(catalog.LastBatch(), last);
  EXPECT_EQ(catalog.streams().size(), model.streams.size());
  EXPECT_EQ(catalog.idempotency().size(), model.idempotency.size());
  EXPECT_EQ(catalog.events().size(), model.events.size());
  EXPECT_EQ(catalog.ReceiptCount(), model.receipts.size());
}

// Every stream's ranges of positions, as reads plan them.
std::vector<std::pair<uint64_t, uint64_t>> Ranges(const StreamCatalog& catalog) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (int n = 0; n < 8; ++n) {
    format::IdBytes bytes{};
    bytes[0] = static_cast<uint8_t>(n);
    for (bytes[9] = 0; bytes[9] < 2; ++bytes[9]) {
      catalog.ForEachRange(format::StreamId(bytes), 0, UINT64_MAX,
                           [&](uint64_t first, uint64_t end) { ranges.emplace_back(first, end); });
    }
  }
  return ranges;
}

std::string Encoded(const StreamCatalog& catalog) {
  std::string bytes;
  util::BinaryWriter writer(bytes);
  catalog.Encode(writer);
  return bytes;
}

TEST(StreamCatalogModelTest, RandomBatchesAnswerAsAModelBeforeAndAfterARoundTrip) {
  std::mt19937_64 random(20261207);
  StreamCatalog catalog;
  Model model;
  for (uint64_t position = 0; position < 600; ++position) {
    RecordRandomBatch(random, position, catalog, model);
    if (position % 150 != 149) continue;
    ExpectAnswersAsModel(catalog, model);
    const std::string bytes = Encoded(catalog);
    util::BinaryReader reader(bytes);
    // As an open decodes it: the tables and the position index to come.
    auto later = [&](StreamCatalog::AppendTablesJob job) {
      return std::async(std::launch::deferred, [&bytes, job = std::move(job)]() mutable {
        return std::move(job).Run(bytes, [](size_t) {});
      });
    };
    Result<StreamCatalog> decoded = StreamCatalog::DecodeDeferring(reader, {}, later);
    ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
    // Asked at once, while the position index is mostly still being built.
    const auto ranges = Ranges(*decoded);
    ExpectAnswersAsModel(*decoded, model);
    EXPECT_EQ(Ranges(*decoded), ranges);
    EXPECT_EQ(*decoded, catalog);
    EXPECT_EQ(Encoded(*decoded), bytes);
    catalog = std::move(*decoded);  // which goes on from its own batch indexes
  }
}

// What the catalog itself never records but a checkpoint may hold: an event
// whose batch has no receipt, and a receipt filed under another batch id.
TEST(StreamCatalogModelTest, OddCheckpointEntriesSurviveARoundTrip) {
  const format::EventId event_id(format::IdBytes{8});
  const format::BatchId unreceipted(format::IdBytes{1});
  const format::BatchId key(format::IdBytes{2});
  const AppendReceipt receipt{format::BatchId(format::IdBytes{3}), 4, 5, {}, 6, {7},
                              ReceiptDurability::kFlushed};
  std::string bytes;
  util::BinaryWriter writer(bytes);
  writer.PutLength(0);  // streams
  writer.PutLength(1);
  format::PutId(writer, event_id);
  writer.PutU32(9);
  format::PutId(writer, unreceipted);
  writer.PutLength(0);  // idempotency
  writer.PutLength(1);
  format::PutId(writer, key);
  receipt.Encode(writer);

  util::BinaryReader reader(bytes);
  Result<StreamCatalog> decoded = StreamCatalog::Decode(reader);
  ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
  EXPECT_EQ(decoded->Event(event_id), (EventEntry{9, unreceipted}));
  EXPECT_EQ(decoded->EventReceipt(event_id), std::nullopt);
  EXPECT_EQ(decoded->BatchReceipt(unreceipted), std::nullopt);
  EXPECT_EQ(decoded->BatchReceipt(key), receipt);
  EXPECT_EQ(decoded->ReceiptCount(), 1u);
  EXPECT_EQ(Encoded(*decoded), bytes);
}

}  // namespace
}  // namespace corvantine::stream
