#include <algorithm>
#include <future>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stream/catalog.h"

namespace corvantine::stream {
namespace {

template <typename Id>
Id IdOf(uint8_t first, uint8_t last = 0) {
  format::IdBytes bytes{};
  bytes[0] = first;
  bytes[15] = last;
  return Id(bytes);
}

std::string Encoded(const StreamCatalog& catalog) {
  std::string out;
  util::BinaryWriter writer(out);
  catalog.Encode(writer);
  return out;
}

Result<StreamCatalog> Decoded(std::string_view bytes) {
  util::BinaryReader reader(bytes);
  return StreamCatalog::Decode(reader);
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0xf]);
  }
  return hex;
}

std::string Unhex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return bytes;
}

const AppendReceipt kReceipt{IdOf<format::BatchId>(2), 5, 6, IdOf<format::StreamId>(7), 1, {2},
                             ReceiptDurability::kSynced};

StreamCatalog TinyCatalog() {
  StreamCatalog catalog;
  const BatchEvent events[] = {{IdOf<format::EventId>(1), 0x11223344}};
  catalog.RecordBatch(format::BranchId(), "a", IdOf<format::StreamId>(7), events,
                      *IdempotencyKey::New("k"), 0xaabbccdd, kReceipt);
  return catalog;
}

// Entries in every map, batches 1 to `count`, recorded in descending order
// when `reversed`.
StreamCatalog LargeCatalog(int count, bool reversed) {
  StreamCatalog catalog;
  for (int i = 1; i <= count; ++i) {
    const uint8_t n = static_cast<uint8_t>(reversed ? count + 1 - i : i);
    AppendReceipt receipt{IdOf<format::BatchId>(n, 1), n, n + 1u, IdOf<format::StreamId>(n),
                          std::nullopt, {n + 1u}, ReceiptDurability(n % 3)};
    if (n % 2 == 1) receipt.previous_revision = n;
    const BatchEvent events[] = {{IdOf<format::EventId>(n, 1), n * 7u},
                                 {IdOf<format::EventId>(n, 2), n * 11u}};
    std::optional<IdempotencyKey> key;
    if (n % 4 != 0) key = *IdempotencyKey::New(std::string("key\0\xff", 5) + std::to_string(n));
    catalog.RecordBatch(IdOf<format::BranchId>(n % 3), "stream-é-" + std::to_string(n),
                        IdOf<format::StreamId>(n), events, std::move(key), n * 13u, receipt);
  }
  return catalog;
}

TEST(StreamCatalogCodecTest, GoldenBytes) {
  const std::string receipt =
      "02000000000000000000000000000000"  // batch id
      "0500000000000000"                  // first position
      "0600000000000000"                  // last position
      "07000000000000000000000000000000"  // stream id
      "01" "0100000000000000"             // previous revision: present, 1
      "0200000000000000"                  // current revision
      "02000000";                         // synced
  const std::string expected =
      "0100000000000000"                  // streams: one entry
      "00000000000000000000000000000000"  //   branch
      "0100000000000000" "61"             //   name "a"
      "07000000000000000000000000000000"  //   stream id
      "0200000000000000"                  //   revision
      "0100000000000000"                  // events: one entry
      "01000000000000000000000000000000"  //   event id
      "44332211"                          //   fingerprint
      "02000000000000000000000000000000"  //   batch id
      "0100000000000000"                  // idempotency: one entry
      "00000000000000000000000000000000"  //   branch
      "0100000000000000" "6b"             //   key "k"
      "ddccbbaa" +                        //   request digest
      receipt +                           //
      "0100000000000000"                  // receipts: one entry
      "02000000000000000000000000000000" +  // batch id
      receipt;
  EXPECT_EQ(Hex(Encoded(TinyCatalog())), expected);
}

TEST(StreamCatalogCodecTest, RoundTripsAndEncodesReproducibly) {
  const StreamCatalog forward = LargeCatalog(199, false);
  const StreamCatalog backward = LargeCatalog(199, true);
  ASSERT_EQ(forward, backward);
  const std::string bytes = Encoded(forward);
  EXPECT_EQ(Encoded(backward), bytes);  // insertion order does not show

  // Trailing bytes are left to the caller.
  const std::string with_tail = bytes + "tail";
  util::BinaryReader reader(with_tail);
  Result<StreamCatalog> decoded = StreamCatalog::Decode(reader);
  ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
  EXPECT_EQ(*decoded, forward);
  EXPECT_EQ(reader.remaining(), 4u);
  EXPECT_EQ(Encoded(*decoded), bytes);

  // A catalog whose tables a job has yet to build encodes them all the same.
  util::BinaryReader deferring_reader(bytes);
  auto later = [&](StreamCatalog::AppendTablesJob job) {
    return std::async(std::launch::deferred, [&bytes, job = std::move(job)]() mutable {
      return std::move(job).Run(bytes, [](size_t) {});
    });
  };
  Result<StreamCatalog> deferred = StreamCatalog::DecodeDeferring(deferring_reader, {}, later);
  ASSERT_TRUE(deferred.ok());
  EXPECT_EQ(Encoded(*deferred), bytes);

  Result<StreamCatalog> empty = Decoded(Encoded(StreamCatalog()));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(*empty, StreamCatalog());
}

TEST(StreamCatalogCodecTest, EntriesAreSortedByKey) {
  StreamCatalog catalog;
  const AppendReceipt receipt{};
  for (const char* name : {"b", "a", "ab"}) {
    catalog.RecordBatch(IdOf<format::BranchId>(1), name, {}, {}, std::nullopt, 0, receipt);
  }
  catalog.RecordBatch(format::BranchId(), "z", {}, {}, std::nullopt, 0, receipt);
  const std::string bytes = Encoded(catalog);
  util::BinaryReader reader(bytes);
  std::string names;
  ASSERT_EQ(*reader.Length(1), 4u);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(reader.Array16().ok());
    names += *reader.String();
    names += ' ';
    ASSERT_TRUE(reader.Raw(24).ok());
  }
  EXPECT_EQ(names, "z a ab b ");  // branch first, then the name's bytes
}

// Many event ids, a few first bytes shared by many of them: the id table is
// written in ascending id order all the same.
TEST(StreamCatalogCodecTest, EventIdsAreWrittenInAscendingOrder) {
  std::mt19937_64 random(7);
  std::vector<BatchEvent> events;
  for (int i = 0; i < 5000; ++i) {
    format::IdBytes bytes;
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    bytes[0] = static_cast<uint8_t>(i % 3 == 0 ? 0x42 : bytes[0]);
    events.push_back({format::EventId(bytes), static_cast<uint32_t>(i)});
  }
  StreamCatalog catalog;
  catalog.RecordBatch(format::BranchId(), "s", {}, events, std::nullopt, 0, AppendReceipt{});
  const std::string bytes = Encoded(catalog);
  util::BinaryReader reader(bytes);
  ASSERT_EQ(*reader.Length(1), 1u);  // the one stream
  ASSERT_TRUE(reader.Array16().ok() && reader.String().ok() && reader.Raw(24).ok());
  ASSERT_EQ(*reader.Length(1), events.size());
  std::vector<format::EventId> written;
  for (size_t i = 0; i < events.size(); ++i) {
    written.push_back(*format::ReadId<format::EventId>(reader));
    ASSERT_TRUE(reader.Raw(4 + 16).ok());
  }
  EXPECT_TRUE(std::is_sorted(written.begin(), written.end()));
  EXPECT_EQ(std::adjacent_find(written.begin(), written.end()), written.end());
}

TEST(StreamCatalogCodecTest, RejectsMalformedInput) {
  const std::string good = Encoded(TinyCatalog());
  // Byte offsets in the golden encoding above.
  const size_t name = 8 + 16 + 8;                               // "a"
  const size_t key = name + 1 + 16 + 8 + 8 + 36 + 8 + 16 + 8;  // "k"
  const size_t receipt = key + 1 + 4;                           // the idempotency entry's
  const size_t tag = receipt + 48, durability = tag + 1 + 8 + 8;
  struct Case {
    size_t at;
    std::string hex;  // replaces the bytes at `at`
    std::string error;
  };
  const Case cases[] = {
      {durability, "03000000",
       "codec error: invalid value: integer `3`, expected variant index 0 <= i < 3"},
      {tag, "02", "codec error: tag for enum is not valid, found 2"},
      {name, "ff", "codec error: invalid utf-8 sequence"},
      // Counts and lengths beyond the input fail before anything is reserved.
      {0, "ffffffffffffff0f", "codec error: io error: unexpected end of file"},
      {name - 8, "ffffffffffffffff", "codec error: io error: unexpected end of file"},
  };
  for (const Case& c : cases) {
    std::string bytes = good;
    bytes.replace(c.at, c.hex.size() / 2, Unhex(c.hex));
    Result<StreamCatalog> decoded = Decoded(bytes);
    ASSERT_FALSE(decoded.ok()) << c.error;
    EXPECT_EQ(decoded.error().ToString(), c.error);
  }

  std::string bytes = good;
  bytes[key] = '\xff';  // idempotency keys are bytes, not text
  Result<StreamCatalog> decoded = Decoded(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
  EXPECT_TRUE(decoded->Idempotent(format::BranchId(), "\xff").has_value());
}

// The receipts come last: their count, then per receipt its id and the
// receipt, 77 bytes, or 85 with a previous revision (its tag at byte 64).
TEST(StreamCatalogCodecTest, ReceiptsOutOfOrderOrRepeatedDecodeAsReadOneByOne) {
  const StreamCatalog catalog = LargeCatalog(6, false);
  const std::string bytes = Encoded(catalog);
  std::vector<std::string> entries;
  size_t at = bytes.size();
  for (int n = 6; n >= 1; --n) {
    const size_t size = n % 2 == 1 ? 85 : 77;
    at -= size;
    entries.insert(entries.begin(), bytes.substr(at, size));
  }
  auto with = [&](const std::vector<std::string>& receipts) {
    std::string out = bytes.substr(0, at);
    for (const std::string& entry : receipts) out += entry;
    return out + std::string(8, '\0');  // room past the last entry
  };
  EXPECT_EQ(*Decoded(with({entries.rbegin(), entries.rend()})), catalog);

  std::vector<std::string> repeated = entries;
  repeated[3].replace(0, 16, entries[2].substr(0, 16));  // batch 4's receipt under 3's id
  Result<StreamCatalog> decoded = Decoded(with(repeated));
  ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
  EXPECT_EQ(decoded->ReceiptCount(), 5u);
  EXPECT_EQ(decoded->BatchReceipt(IdOf<format::BatchId>(3, 1)),
            catalog.BatchReceipt(IdOf<format::BatchId>(4, 1)));

  std::vector<std::string> bad = entries;
  bad[0][64] = 2;
  EXPECT_EQ(Decoded(with(bad)).error().ToString(),
            "codec error: tag for enum is not valid, found 2");
  bad = entries;
  bad[1][64 + 1 + 8] = 3;  // an entry without previous revision: its durability
  EXPECT_EQ(Decoded(with(bad)).error().ToString(),
            "codec error: invalid value: integer `3`, expected variant index 0 <= i < 3");
}

TEST(StreamCatalogCodecTest, EveryTruncationFailsCleanly) {
  const std::string bytes = Encoded(LargeCatalog(5, false));
  for (size_t length = 0; length < bytes.size(); ++length) {
    Result<StreamCatalog> decoded = Decoded(std::string_view(bytes).substr(0, length));
    ASSERT_FALSE(decoded.ok()) << "length " << length;
    EXPECT_EQ(decoded.error().kind(), error::Kind::kCodec);
  }
}

}  // namespace
}  // namespace corvantine::stream
