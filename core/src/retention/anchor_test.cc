// The anchor file format: a golden file, the refusal of damaged files, and
// the identity and bootstrap checks.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "retention/retention.h"
#include "retention/test_util.h"
#include "testing/test_util.h"
#include "util/crc32c.h"

namespace corvantine::retention {
namespace {

using namespace platform::testing;

std::string Le32(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

std::string Le64(uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

std::string Text(std::string_view text) { return Le64(text.size()) + std::string(text); }
std::string Repeat(size_t n, char byte) { return std::string(n, byte); }

// The payload of SampleAnchor(), written out field by field, in labelled
// pieces so that a test can find and replace one.
class GoldenPayload {
 public:
  GoldenPayload() {
    std::string database_id;
    for (char i = 1; i <= 16; ++i) database_id.push_back(i);
    Add("format_version", Le32(5));
    Add("database_id", database_id);
    Add("floor", Le64(7));
    Add("head", Le64(9));
    Add("stream_catalog", Repeat(32, 0));  // four empty maps
    Add("branch_count", Le64(1));
    Add("branch_key", Repeat(16, 0));
    Add("branch_info_id", Repeat(16, 0));
    Add("branch_name", Text("main"));
    Add("parent_tag", Repeat(1, 0));
    Add("fork_position_tag", Repeat(1, 0));
    Add("created_at", Le64(0));
    Add("branch_metadata", Le64(0));
    Add("branch_status", Le32(0));
    Add("name_count", Le64(1));
    Add("name_entry", Text("main") + Repeat(16, 0));
    Add("coverage_count", Le64(1));
    Add("coverage", Text("v") + Repeat(16, '\xAA') + Repeat(16, 0) + Le64(9) + Le64(1) +
                        Text("s1"));
    Add("branch_bootstrap_count", Le64(1));
    Add("branch_bootstrap", Repeat(16, 0) + Le64(7) + Le32(0xE3069283) + Text("123456789"));
    Add("consumer_bootstrap_count", Le64(1));
    Add("consumer_bootstrap", Text("c") + Le64(7) + Le32(0xE3069283) + Text("123456789") +
                                  Repeat(16, 1) + Le64(1) + Repeat(16, 0) + Le64(0) + Le64(1) +
                                  Text("t") + Text("opaque") + Le32(2));
    Add("system_record_count", Le64(1));
    Add("system_record_event_type", Text("e"));
    Add("system_record_payload", Text(std::string_view("\x00\xff", 2)));
  }

  GoldenPayload& Replace(std::string_view label, std::string bytes) {
    for (auto& [name, piece] : pieces_) {
      if (name == label) piece = std::move(bytes);
    }
    return *this;
  }

  std::string bytes() const {
    std::string out;
    for (const auto& piece : pieces_) out += piece.second;
    return out;
  }

 private:
  void Add(std::string_view label, std::string bytes) {
    pieces_.emplace_back(label, std::move(bytes));
  }

  std::vector<std::pair<std::string_view, std::string>> pieces_;
};

constexpr uint32_t kGoldenPayloadBytes = 462;
constexpr uint32_t kGoldenChecksum = 0x5183B043;

std::string FileOf(std::string_view payload) {
  return "CRVRETN1" + Le32(static_cast<uint32_t>(payload.size())) +
         Le32(util::crc32c::Value(payload)) + std::string(payload);
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  ASSERT_TRUE(platform::CreateDirs(std::filesystem::path(path).parent_path()).ok());
  platform::File file = platform::CreateOrTruncate(path).value();
  ASSERT_TRUE(file.WriteAt(0, bytes).ok());
}

TEST(AnchorFormat, GoldenFile) {
  const std::string payload = GoldenPayload().bytes();
  ASSERT_EQ(payload.size(), kGoldenPayloadBytes);
  const std::string golden =
      "CRVRETN1" + Le32(kGoldenPayloadBytes) + Le32(kGoldenChecksum) + payload;

  std::string encoded;
  util::BinaryWriter writer(encoded);
  SampleAnchor().Encode(writer);
  EXPECT_EQ(encoded, payload);

  // Publish writes exactly these bytes, and Decode gives the anchor back.
  TempDir dir;
  ASSERT_EQ(Outcome(Publish(dir.path(), SampleAnchor(), std::nullopt)), "ok");
  EXPECT_EQ(platform::ReadFile(AnchorPath(dir.path())).value(), golden);

  const Result<LoadedAnchor> loaded = Decode(AnchorPath(dir.path()));
  ASSERT_EQ(Outcome(loaded), "ok");
  EXPECT_EQ(loaded->anchor, SampleAnchor());
  RetentionAnchorInfo expected;
  expected.format_version = 5;
  expected.database_id = SampleAnchor().database_id;
  expected.floor = 7;
  expected.head = 9;
  expected.bytes = 16 + kGoldenPayloadBytes;
  expected.checksum = kGoldenChecksum;
  expected.projection_checkpoints = 1;
  expected.branch_bootstraps = 1;
  expected.consumer_bootstraps = 1;
  expected.bootstrap_bytes = 18;
  expected.system_records = 1;
  EXPECT_EQ(loaded->info, expected);
}

TEST(AnchorFormat, RefusesDamagedFiles) {
  const std::string golden = FileOf(GoldenPayload().bytes());
  const std::string decode = "invalid format: retention anchor decode: ";
  const std::string unexpected_end = decode + "io error: unexpected end of file";
  const struct {
    const char* name;
    std::string file;
    std::string outcome;
  } cases[] = {
      {"empty", "", "invalid format: retention anchor length is invalid"},
      {"15 bytes", golden.substr(0, 15), "invalid format: retention anchor length is invalid"},
      {"header alone", "CRVRETN1" + Le32(0) + Le32(0),
       "invalid format: retention anchor payload length is invalid"},
      {"magic", "CRVRETN2" + golden.substr(8), "invalid format: retention anchor magic is invalid"},
      {"byte appended", golden + "x", "invalid format: retention anchor payload length is invalid"},
      {"header length beyond file", golden.substr(0, 8) + Le32(kGoldenPayloadBytes + 1) +
                                        golden.substr(12),
       "invalid format: retention anchor payload length is invalid"},
      {"flipped checksum", golden.substr(0, 12) + Le32(kGoldenChecksum ^ 1) + golden.substr(16),
       "invalid format: retention anchor checksum mismatch"},
      {"option tag 2", FileOf(GoldenPayload().Replace("parent_tag", "\x02").bytes()),
       decode + "tag for enum is not valid, found 2"},
      {"enum index 2", FileOf(GoldenPayload().Replace("branch_status", Le32(2)).bytes()),
       decode + "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {"invalid UTF-8",
       FileOf(GoldenPayload().Replace("system_record_event_type", Text("\xff")).bytes()),
       decode + "invalid utf-8 sequence"},
      {"huge list count",
       FileOf(GoldenPayload().Replace("system_record_count", Le64(uint64_t{1} << 62)).bytes()),
       unexpected_end},
      {"huge byte length",
       FileOf(GoldenPayload().Replace("system_record_payload", Le64(~uint64_t{0})).bytes()),
       unexpected_end},
      {"huge catalog count",
       FileOf(GoldenPayload().Replace("branch_count", Le64(uint64_t{1} << 60)).bytes()),
       unexpected_end},
      {"document cut short", FileOf(GoldenPayload().bytes().substr(0, 200)), unexpected_end},
      {"bootstrap for another floor",
       FileOf(GoldenPayload().Replace("floor", Le64(8)).bytes()),
       "invalid format: invalid or duplicate branch bootstrap coverage"},
      {"bytes after the document", FileOf(GoldenPayload().bytes() + "extra"), "ok"},
      {"format version 4", FileOf(GoldenPayload().Replace("format_version", Le32(4)).bytes()),
       "ok"},  // refused by ValidateIdentity, not here
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(AnchorPath(dir.path()), c.file);
    EXPECT_EQ(Outcome(Decode(AnchorPath(dir.path()))), c.outcome);
    EXPECT_EQ(Outcome(Load(dir.path())), c.outcome);
  }
}

TEST(AnchorFormat, LengthLimitsOfTheFile) {
  TempDir dir;
  const std::string path = AnchorPath(dir.path());
  // Sparse files: the size check comes before anything is read.
  const struct {
    uint64_t size;
    std::string outcome;
  } cases[] = {
      {16 + kMaxAnchorPayloadBytes, "invalid format: retention anchor magic is invalid"},
      {16 + kMaxAnchorPayloadBytes + 1, "invalid format: retention anchor length is invalid"},
  };
  for (const auto& c : cases) {
    WriteBytes(path, "");
    ASSERT_TRUE(platform::OpenForReadWrite(path).value().Truncate(c.size).ok());
    EXPECT_EQ(Outcome(Decode(path)), c.outcome) << c.size;
  }
}

TEST(AnchorFormat, MissingFileLoadsAsNoAnchor) {
  TempDir dir;
  EXPECT_EQ(Outcome(Decode(AnchorPath(dir.path()))),
            "io: No such file or directory (os error 2)");
  const Result<std::optional<LoadedAnchor>> nothing = Load(dir.path());
  ASSERT_EQ(Outcome(nothing), "ok");
  EXPECT_FALSE(nothing->has_value());

  // A leftover temporary file is never read.
  WriteBytes(AnchorPath(dir.path()) + ".tmp", FileOf(GoldenPayload().bytes()));
  const Result<std::optional<LoadedAnchor>> still_nothing = Load(dir.path());
  ASSERT_EQ(Outcome(still_nothing), "ok");
  EXPECT_FALSE(still_nothing->has_value());

  // Any other I/O failure is an error, not a missing anchor.
  ASSERT_TRUE(platform::CreateDirs(AnchorPath(dir.path())).ok());
  EXPECT_EQ(Outcome(Load(dir.path())), "io: Is a directory (os error 21)");
}

TEST(AnchorFormat, RoundTripsEveryField) {
  CoreRetentionAnchor anchor = SampleAnchor(40);
  anchor.branch_catalog = branch::BranchCatalog();
  branch::BranchInfo feature;
  feature.id = format::BranchId(FilledId(5));
  feature.name = "feature";
  feature.parent = format::BranchId();
  feature.fork_position = 12;
  feature.metadata = {{"k", "v"}};
  ASSERT_TRUE(anchor.branch_catalog.Insert(feature).ok());
  anchor.projection_coverage.push_back({"w", FilledId(3), feature.id, 40, {"a", "b", "c"}});
  anchor.consumer_bootstraps[0].scope.streams = {format::StreamId(FilledId(9))};
  anchor.consumer_bootstraps[0].codec = "json";
  anchor.system_records.push_back({"corvantine.branch.created", "{}"});

  std::string payload;
  util::BinaryWriter writer(payload);
  anchor.Encode(writer);
  util::BinaryReader reader(payload);
  const Result<CoreRetentionAnchor> decoded = CoreRetentionAnchor::Decode(reader);
  ASSERT_EQ(Outcome(decoded), "ok");
  EXPECT_EQ(*decoded, anchor);
  EXPECT_EQ(reader.remaining(), 0u);

  // Decoded as an open decodes it, the catalog keeps the bytes to build its
  // tables from until it is first asked for them.
  const auto kept = std::make_shared<const std::string>(payload);
  const Result<CoreRetentionAnchor> deferred = CoreRetentionAnchor::DecodeDeferring(*kept, kept);
  ASSERT_EQ(Outcome(deferred), "ok");
  EXPECT_EQ(kept.use_count(), 2);
  EXPECT_EQ(*deferred, anchor);
  EXPECT_EQ(kept.use_count(), 1);

  const RetentionAnchorInfo info = RetentionAnchorInfo::Of(anchor, 1000, 77);
  EXPECT_EQ(info.projection_checkpoints, 4u);
  EXPECT_EQ(info.bootstrap_bytes, 18u);
  EXPECT_EQ(info.system_records, 2u);
}

TEST(AnchorIdentity, ExactMatchOnly) {
  const CoreRetentionAnchor anchor = SampleAnchor(9);  // floor 7
  CoreRetentionAnchor old_format = anchor;
  old_format.format_version = 4;
  const format::DatabaseId database = anchor.database_id;
  const format::DatabaseId other_database(FilledId(0xEE));
  const struct {
    const char* name;
    const CoreRetentionAnchor& anchor;
    format::DatabaseId database;
    uint64_t floor;
    uint64_t head;
    std::string identity;  // ValidateIdentity
    std::string open;      // ValidateForOpen, the head being the log head
  } cases[] = {
      {"exact", anchor, database, 7, 9, "ok", "ok"},
      {"format first", old_format, other_database, 8, 10,
       "invalid format: unsupported retention anchor format 4",
       "invalid format: unsupported retention anchor format 4"},
      {"database", anchor, other_database, 7, 9,
       "invalid format: retention anchor belongs to another database",
       "invalid format: retention anchor belongs to another database"},
      {"floor", anchor, database, 6, 9,
       "invalid format: retention anchor floor 7 does not match required floor 6",
       "invalid format: retention anchor floor 7 does not match required floor 6"},
      {"log grew past the anchor", anchor, database, 7, 10,
       "invalid format: retention anchor head 9 does not match durable head 10", "ok"},
      {"log behind the anchor", anchor, database, 7, 8,
       "invalid format: retention anchor head 9 does not match durable head 8",
       "invalid format: retention anchor head 9 does not match durable head 8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Outcome(ValidateIdentity(c.anchor, c.database, c.floor, c.head)), c.identity);
    EXPECT_EQ(Outcome(ValidateForOpen(c.anchor, c.database, c.floor, c.head)), c.open);
  }

  CoreRetentionAnchor below_floor = anchor;
  below_floor.head = 6;
  EXPECT_EQ(Outcome(ValidateForOpen(below_floor, database, 7, 9)),
            "invalid format: retention anchor head 6 is below floor 7");
}

TEST(AnchorBootstraps, Validation) {
  const std::string branch_error = "invalid format: invalid or duplicate branch bootstrap coverage";
  const std::string consumer_error =
      "invalid format: invalid or duplicate consumer bootstrap coverage";
  using Branches = std::vector<RetentionBranchBootstrap>;
  using Consumers = std::vector<RetentionConsumerBootstrap>;
  const auto branch = SampleBranchBootstrap;
  const auto consumer = SampleConsumerBootstrap;
  const auto with_codec = [](std::string codec) {
    RetentionConsumerBootstrap bootstrap = SampleConsumerBootstrap(7, "c", 1, "x");
    bootstrap.codec = std::move(codec);
    return bootstrap;
  };
  RetentionBranchBootstrap bad_branch_checksum = branch(7, 1, "x");
  bad_branch_checksum.checksum ^= 1;
  RetentionConsumerBootstrap bad_consumer_checksum = consumer(7, "c", 1, "x");
  bad_consumer_checksum.checksum ^= 1;

  const struct {
    const char* name;
    Branches branches;
    Consumers consumers;
    std::string outcome;
  } cases[] = {
      {"none", {}, {}, "ok"},
      {"valid", {branch(7, 1, "x"), branch(7, 2, "")},
       {consumer(7, "a", 1, "x"), consumer(7, "b", 2, "")}, "ok"},
      {"branch floor", {branch(8, 1, "x")}, {}, branch_error},
      {"branch checksum", {bad_branch_checksum}, {}, branch_error},
      {"branch twice", {branch(7, 1, "x"), branch(7, 1, "y")}, {}, branch_error},
      {"branches checked first", {branch(8, 1, "x")}, {consumer(8, "c", 1, "x")}, branch_error},
      {"consumer floor", {}, {consumer(6, "c", 1, "x")}, consumer_error},
      {"consumer checksum", {}, {bad_consumer_checksum}, consumer_error},
      {"consumer twice", {}, {consumer(7, "c", 1, "x"), consumer(7, "c", 2, "x")},
       consumer_error},
      {"checkpoint id twice", {}, {consumer(7, "a", 1, "x"), consumer(7, "b", 1, "x")},
       consumer_error},
      {"zero checkpoint id", {}, {consumer(7, "c", 0, "x")}, consumer_error},
      {"empty codec", {}, {with_codec("")}, consumer_error},
      {"codec of 128 bytes", {}, {with_codec(std::string(128, 'c'))}, "ok"},
      {"codec of 129 bytes", {}, {with_codec(std::string(129, 'c'))}, consumer_error},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Outcome(ValidateBootstraps(7, c.branches, c.consumers)), c.outcome);
  }
}

TEST(AnchorBootstraps, CheckpointSizeLimit) {
  std::string checkpoint;
  checkpoint.reserve(kMaxBootstrapCheckpointBytes + 1);
  checkpoint.resize(kMaxBootstrapCheckpointBytes, 'z');
  // Moved, never copied: the lists are built by push_back, not from braces.
  std::vector<RetentionBranchBootstrap> branches;
  branches.push_back(SampleBranchBootstrap(7, 1, std::move(checkpoint)));
  EXPECT_EQ(Outcome(ValidateBootstraps(7, branches, {})), "ok");

  RetentionBranchBootstrap& largest = branches[0];
  largest.checkpoint.push_back('z');
  largest.checksum = util::crc32c::Value(largest.checkpoint);
  EXPECT_EQ(Outcome(ValidateBootstraps(7, branches, {})),
            "invalid format: invalid or duplicate branch bootstrap coverage");

  std::vector<RetentionConsumerBootstrap> consumers;
  consumers.push_back(SampleConsumerBootstrap(7, "c", 1, std::move(largest.checkpoint)));
  EXPECT_EQ(Outcome(ValidateBootstraps(7, {}, consumers)),
            "invalid format: invalid or duplicate consumer bootstrap coverage");
}

}  // namespace
}  // namespace corvantine::retention
