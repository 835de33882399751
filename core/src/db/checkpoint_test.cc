#include "db/checkpoint.h"

#include <cerrno>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/fault.h"
#include "testing/test_util.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::db {
namespace {

using namespace platform::testing;

const format::DatabaseId kDatabase(format::GenerateIdBytes());

stream::StreamCatalog SampleCatalog() {
  stream::StreamCatalog catalog;
  const stream::AppendReceipt receipt{format::BatchId(format::GenerateIdBytes()),  3, 4,
                                      format::StreamId(format::GenerateIdBytes()), 2, {4},
                                      stream::ReceiptDurability::kSynced};
  const stream::BatchEvent events[] = {{format::EventId(format::GenerateIdBytes()), 11},
                                       {format::EventId(format::GenerateIdBytes()), 12}};
  catalog.RecordBatch({}, "orders", receipt.stream_id, events,
                      stream::IdempotencyKey::New("key").value(), 99, receipt);
  return catalog;
}

std::string PathIn(const TempDir& dir) {
  return platform::JoinPath(dir.path(), kCoreCatalogFileName);
}

TEST(CheckpointTest, LayoutAndRoundTrip) {
  TempDir dir;
  const stream::StreamCatalog catalog = SampleCatalog();
  const uint64_t size = PersistCoreCatalog(dir.path(), kDatabase, 5, catalog).value();
  const std::string bytes = platform::ReadFile(PathIn(dir)).value();
  ASSERT_EQ(bytes.size(), size);
  EXPECT_EQ(bytes, EncodeCoreCatalog(kDatabase, 5, catalog));
  EXPECT_EQ(bytes.substr(0, 16),
            std::string(reinterpret_cast<const char*>(kDatabase.bytes().data()), 16));
  EXPECT_EQ(util::DecodeFixed64(bytes.data() + 16), 5u);
  std::string encoded_catalog;
  util::BinaryWriter writer(encoded_catalog);
  catalog.Encode(writer);
  EXPECT_EQ(bytes.substr(24, encoded_catalog.size()), encoded_catalog);
  EXPECT_EQ(bytes.size(), 24 + encoded_catalog.size() + 4);
  EXPECT_EQ(util::DecodeFixed32(bytes.data() + bytes.size() - 4),
            util::crc32c::Value(std::string_view(bytes).substr(0, bytes.size() - 4)));

  const std::optional<LoadedCheckpoint> loaded = LoadCoreCatalog(dir.path(), kDatabase, 0, 5);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->catalog, catalog);
  EXPECT_EQ(loaded->head, 5u);
  EXPECT_EQ(loaded->file_bytes, size);
  EXPECT_FALSE(platform::PathExists(platform::JoinPath(dir.path(), kCoreCatalogTempName)));
}

// Every problem makes the loader yield nothing, so that the catalog is rebuilt.
TEST(CheckpointTest, LoadRefusesWhatCannotServeTheOpen) {
  const std::string good = EncodeCoreCatalog(kDatabase, 5, SampleCatalog());
  auto flipped = [&](size_t at) {
    std::string bytes = good;
    bytes[at] ^= 0x01;
    return bytes;
  };
  struct Case {
    const char* what;
    std::string bytes;  // empty: no file
    uint64_t floor, log_head;
    bool loads;
    bool removed = false;
  } cases[] = {
      {"good", good, 0, 5, true},
      {"log grew since", good, 0, 9, true},
      {"head at the floor", good, 5, 9, true},
      {"trailing bytes", good + "extra", 0, 5, true},
      {"missing", "", 0, 5, false},
      {"ahead of the log", good, 0, 4, false, true},
      {"below the floor", good, 6, 9, false},
      {"other database", EncodeCoreCatalog(format::DatabaseId(), 5, SampleCatalog()), 0, 5, false},
      {"damaged catalog", flipped(40), 0, 5, false},
      {"damaged checksum", flipped(good.size() - 1), 0, 5, false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    if (!c.bytes.empty()) {
      ASSERT_TRUE(platform::CreateOrTruncate(PathIn(dir))->WriteAt(0, c.bytes).ok());
    }
    EXPECT_EQ(LoadCoreCatalog(dir.path(), kDatabase, c.floor, c.log_head).has_value(), c.loads)
        << c.what;
    EXPECT_EQ(platform::PathExists(PathIn(dir)), !c.bytes.empty() && !c.removed) << c.what;
  }
  for (size_t length = 0; length < good.size(); ++length) {
    EXPECT_FALSE(CoreCatalogCheckpoint::Decode(std::string_view(good).substr(0, length)).ok())
        << length;
  }
}

TEST(CheckpointTest, FilesAbove256MiBAreNotRead) {
  TempDir dir;
  ASSERT_TRUE(PersistCoreCatalog(dir.path(), kDatabase, 5, SampleCatalog()).ok());
  platform::File file = platform::OpenForReadWrite(PathIn(dir)).value();
  // Zero bytes after the checksum are ignored, up to the limit.
  ASSERT_TRUE(file.Truncate(kMaxCoreCatalogBytes).ok());
  EXPECT_TRUE(LoadCoreCatalog(dir.path(), kDatabase, 0, 5));
  ASSERT_TRUE(file.Truncate(kMaxCoreCatalogBytes + 1).ok());
  EXPECT_FALSE(LoadCoreCatalog(dir.path(), kDatabase, 0, 5));
}

TEST(CheckpointTest, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  ASSERT_TRUE(PersistCoreCatalog(dir.path(), kDatabase, 1, {}).ok());
  const std::string old = platform::ReadFile(PathIn(dir)).value();
  for (const Op op : {Op::kOpen, Op::kWrite, Op::kSync, Op::kClose, Op::kRename}) {
    ScopedFault fault(op, 1, Fault::Error(EIO), "core-catalog");
    EXPECT_EQ(Outcome(PersistCoreCatalog(dir.path(), kDatabase, 2, SampleCatalog())),
              "io: Input/output error (os error 5)")
        << static_cast<int>(op);
    EXPECT_EQ(platform::ReadFile(PathIn(dir)).value(), old);
  }
}

}  // namespace
}  // namespace corvantine::db
