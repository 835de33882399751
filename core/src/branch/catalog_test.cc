#include "branch/catalog.h"

#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "format/frame.h"
#include "format/test_util.h"

namespace corvantine::branch {
namespace {

using format::BranchId;

BranchId IdOf(uint8_t n) { return BranchId(format::testing::FilledId(n)); }

const BranchId kMain;

BranchInfo Info(std::string name, BranchId id, std::optional<BranchId> parent = kMain,
                std::optional<uint64_t> fork_position = 0) {
  BranchInfo info;
  info.id = id;
  info.name = std::move(name);
  info.parent = parent;
  info.fork_position = fork_position;
  info.created_at_unix_nanos = 1'700'000'000'000'000'000;
  return info;
}

BranchInfo Archived(BranchInfo info) {
  info.status = BranchStatus::kArchived;
  return info;
}

template <typename T>
std::string ErrorText(const Result<T>& result) {
  return result.ok() ? "ok" : result.error().ToString();
}

// main <- b (forked at 30) <- c (forked at 50).
BranchCatalog ThreeLevels() {
  BranchCatalog catalog;
  EXPECT_TRUE(catalog.Insert(Info("b", IdOf(1), kMain, 30)).ok());
  EXPECT_TRUE(catalog.Insert(Info("c", IdOf(2), IdOf(1), 50)).ok());
  return catalog;
}

// A catalog as a decoder would take it from bytes, whatever its lineages.
BranchCatalog DecodedCatalog(const std::vector<BranchInfo>& infos) {
  std::string bytes;
  util::BinaryWriter writer(bytes);
  writer.PutLength(infos.size());
  for (const BranchInfo& info : infos) {
    writer.PutArray16(info.id.bytes());
    info.Encode(writer);
  }
  writer.PutLength(0);
  util::BinaryReader reader(bytes);
  Result<BranchCatalog> catalog = BranchCatalog::Decode(reader);
  EXPECT_TRUE(catalog.ok());
  return std::move(catalog).value();
}

std::vector<std::string> Names(const std::vector<BranchInfo>& lineage) {
  std::vector<std::string> names;
  for (const BranchInfo& info : lineage) names.push_back(info.name);
  return names;
}

TEST(BranchCatalogTest, StartsWithTheDefaultBranchAlone) {
  const BranchCatalog catalog;
  BranchInfo main;
  main.name = "main";
  EXPECT_EQ(DefaultBranchInfo(), main);
  EXPECT_EQ(catalog.branches(), (BranchCatalog::InfoMap{{kMain, main}}));
  EXPECT_EQ(catalog.names(), (BranchCatalog::NameMap{{"main", kMain}}));
  EXPECT_EQ(catalog.Named("main"), catalog.Find(kMain));
  EXPECT_EQ(catalog.Named("other"), nullptr);
  EXPECT_EQ(catalog.Find(IdOf(9)), nullptr);
}

TEST(BranchCatalogTest, LineagesHoldAtMost64Members) {
  BranchCatalog catalog;
  BranchId parent = kMain;
  for (int i = 1; i <= 63; ++i) {
    BranchId id = IdOf(static_cast<uint8_t>(i));
    ASSERT_TRUE(catalog.Insert(Info(fmt::format("b{}", i), id, parent)).ok()) << i;
    parent = id;
  }
  Result<std::vector<BranchInfo>> lineage = catalog.Ancestry(parent);
  ASSERT_TRUE(lineage.ok());
  ASSERT_EQ(lineage->size(), 64u);
  EXPECT_EQ(lineage->front().name, "main");
  EXPECT_EQ(lineage->back().name, "b63");

  const BranchCatalog before = catalog;
  EXPECT_EQ(ErrorText(catalog.Insert(Info("b64", IdOf(64), parent))),
            "invalid branch ancestry: lineage exceeds maximum depth 64");
  EXPECT_EQ(catalog, before);
  // A sibling lower down still fits.
  EXPECT_TRUE(catalog.Insert(Info("side", IdOf(65), IdOf(62))).ok());
}

TEST(BranchCatalogTest, InsertRefusesTakenIdsAndNamesAndUnknownParents) {
  BranchCatalog catalog = ThreeLevels();
  ASSERT_TRUE(catalog.Archive(Archived(*catalog.Named("c"))).ok());
  struct Case {
    BranchInfo info;
    std::string error;
  };
  const Case cases[] = {
      {Info("other", IdOf(1)), "branch already exists: other"},
      {Info("main", IdOf(7)), "branch already exists: main"},
      {Info("c", IdOf(7)), "branch already exists: c"},  // archived names stay taken
      {Info("d", IdOf(7), IdOf(8)), "branch not found: " + IdOf(8).ToHex()},
      {Info("b", IdOf(1), kMain, 31), "branch already exists: b"},  // same id, other fork
  };
  const BranchCatalog before = catalog;
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorText(catalog.Insert(c.info)), c.error) << c.info.name;
    EXPECT_EQ(catalog, before);
  }
}

TEST(BranchCatalogTest, InsertDetectsACycleThroughADanglingParent) {
  // x names a parent y that the catalog does not hold; inserting y under x
  // would close the loop.
  BranchCatalog catalog = DecodedCatalog({DefaultBranchInfo(), Info("x", IdOf(1), IdOf(2))});
  EXPECT_EQ(ErrorText(catalog.Insert(Info("y", IdOf(2), IdOf(1)))),
            "invalid branch ancestry: cycle detected");
}

TEST(BranchCatalogTest, AncestryReportsMissingMembersAndEndlessLineages) {
  const BranchCatalog dangling = DecodedCatalog({Info("x", IdOf(1), IdOf(2))});
  EXPECT_EQ(ErrorText(dangling.Ancestry(IdOf(1))), "branch not found: " + IdOf(2).ToHex());
  EXPECT_EQ(ErrorText(dangling.Ancestry(IdOf(3))), "branch not found: " + IdOf(3).ToHex());

  const BranchCatalog loop =
      DecodedCatalog({Info("a", IdOf(1), IdOf(2)), Info("b", IdOf(2), IdOf(1))});
  EXPECT_EQ(ErrorText(loop.Ancestry(IdOf(1))), "invalid branch ancestry: lineage depth exceeded");
  EXPECT_EQ(ErrorText(loop.ReplayScopes(IdOf(1), 5)),
            "invalid branch ancestry: lineage depth exceeded");

  Result<std::vector<BranchInfo>> lineage = ThreeLevels().Ancestry(IdOf(2));
  ASSERT_TRUE(lineage.ok());
  EXPECT_EQ(Names(*lineage), (std::vector<std::string>{"main", "b", "c"}));
}

TEST(BranchCatalogTest, ArchiveChangesOnlyTheStatus) {
  BranchCatalog catalog = ThreeLevels();
  const BranchInfo b = *catalog.Find(IdOf(1));
  BranchInfo other_metadata = Archived(b);
  other_metadata.metadata["k"] = "v";
  BranchInfo other_name = Archived(b);
  other_name.name = "b2";
  BranchInfo other_fork = Archived(b);
  other_fork.fork_position = 31;
  BranchInfo main = Archived(DefaultBranchInfo());
  struct Case {
    BranchInfo info;
    std::string error;
  };
  const std::string only_status =
      "invalid branch ancestry: archive metadata may only change branch status";
  const Case cases[] = {
      {Archived(Info("x", IdOf(9))), "branch not found: " + IdOf(9).ToHex()},
      {main, "invalid argument: the default branch cannot be archived"},
      {other_metadata, only_status},
      {other_name, only_status},
      {other_fork, only_status},
      {b, only_status},  // still active
  };
  const BranchCatalog before = catalog;
  for (const Case& c : cases) {
    EXPECT_EQ(ErrorText(catalog.Archive(c.info)), c.error) << c.info.name;
    EXPECT_EQ(catalog, before);
  }

  ASSERT_TRUE(catalog.Archive(Archived(b)).ok());
  EXPECT_EQ(*catalog.Named("b"), Archived(b));
  const BranchCatalog archived = catalog;
  EXPECT_TRUE(catalog.Archive(Archived(b)).ok());
  EXPECT_EQ(catalog, archived);
}

TEST(BranchCatalogTest, ReappliedRecordsChangeNothing) {
  // Records replayed over a catalog that already holds their effect, as
  // after a restore from a retention anchor.
  BranchCatalog catalog = ThreeLevels();
  const BranchInfo c = *catalog.Find(IdOf(2));
  const BranchCatalog before = catalog;
  EXPECT_TRUE(catalog.Insert(c).ok());
  EXPECT_EQ(catalog, before);

  ASSERT_TRUE(catalog.Archive(Archived(c)).ok());
  const BranchCatalog archived = catalog;
  EXPECT_TRUE(catalog.Insert(c).ok());
  EXPECT_TRUE(catalog.Archive(Archived(c)).ok());
  EXPECT_EQ(catalog, archived);
}

TEST(BranchCatalogTest, ReplayScopesLimitEachAncestorByTheForksBelowIt) {
  BranchCatalog catalog = ThreeLevels();
  const BranchId b = IdOf(1), c = IdOf(2), e = IdOf(4);
  ASSERT_TRUE(catalog.Insert(Info("e", e, c, std::nullopt)).ok());  // no fork position
  struct Case {
    BranchId branch;
    uint64_t until;
    std::vector<ReplayScope> scopes;
  };
  const Case cases[] = {
      {kMain, 100, {{kMain, 100}}},
      {c, 70, {{kMain, 30}, {b, 50}, {c, 70}}},
      {c, 40, {{kMain, 30}, {b, 40}, {c, 40}}},
      {c, 10, {{kMain, 10}, {b, 10}, {c, 10}}},
      {b, 80, {{kMain, 30}, {b, 80}}},
      {e, 60, {{kMain, 30}, {b, 50}, {c, 60}, {e, 60}}},
  };
  for (const Case& test : cases) {
    Result<std::vector<ReplayScope>> scopes = catalog.ReplayScopes(test.branch, test.until);
    ASSERT_TRUE(scopes.ok());
    EXPECT_EQ(*scopes, test.scopes) << test.branch.ToHex() << " until " << test.until;
  }
  EXPECT_EQ(ErrorText(catalog.ReplayScopes(IdOf(9), 1)), "branch not found: " + IdOf(9).ToHex());
}

TEST(BranchCatalogTest, DivergenceFindsTheCommonAncestorAndPosition) {
  BranchCatalog catalog = ThreeLevels();
  ASSERT_TRUE(catalog.Insert(Info("d", IdOf(3), IdOf(1), 40)).ok());  // c's sibling
  const BranchId b = IdOf(1), c = IdOf(2), d = IdOf(3);
  struct Case {
    BranchId left;
    uint64_t left_until;
    BranchId right;
    uint64_t right_until;
    std::string ancestor;
    uint64_t position;
  };
  const Case cases[] = {
      {b, 80, c, 90, "b", 50},
      {c, 90, b, 80, "b", 50},
      {b, 80, b, 60, "b", 60},
      {c, 45, b, 80, "b", 45},
      {c, 90, d, 90, "b", 40},
      {kMain, 100, c, 90, "main", 30},
      {kMain, 20, kMain, 25, "main", 20},
  };
  for (const Case& test : cases) {
    auto result = catalog.Divergence(test.left, test.left_until, test.right, test.right_until);
    ASSERT_TRUE(result.ok()) << ErrorText(result);
    EXPECT_EQ(result->first.name, test.ancestor);
    EXPECT_EQ(result->second, test.position) << test.left_until << " " << test.right_until;
  }
}

TEST(BranchCatalogTest, DivergenceReportsUnknownBranchesAndSeparateRoots) {
  BranchCatalog catalog;
  // A branch without parent is a root of its own; no walk checks it.
  ASSERT_TRUE(catalog.Insert(Info("root", IdOf(3), std::nullopt, std::nullopt)).ok());
  ASSERT_TRUE(catalog.Insert(Info("leaf", IdOf(4), IdOf(3), 0)).ok());
  EXPECT_EQ(ErrorText(catalog.Divergence(IdOf(9), 1, kMain, 1)),
            "branch not found: " + IdOf(9).ToHex());
  EXPECT_EQ(ErrorText(catalog.Divergence(kMain, 1, IdOf(8), 1)),
            "branch not found: " + IdOf(8).ToHex());
  EXPECT_EQ(ErrorText(catalog.Divergence(kMain, 1, IdOf(4), 1)),
            "invalid branch ancestry: branches share no common ancestor");
}

// Hands out its records, then its error if it has one, as the log's
// record iterators do.
struct VectorSource {
  std::vector<format::OwnedStoredRecord> records;
  std::optional<CorvantineError> error_at_end = std::nullopt;
  size_t next = 0;

  std::optional<Result<format::OwnedStoredRecord>> Next() {
    if (next < records.size()) return Result<format::OwnedStoredRecord>(records[next++]);
    if (error_at_end) return Result<format::OwnedStoredRecord>(*error_at_end);
    return std::nullopt;
  }
};

format::OwnedStoredRecord Record(std::string_view event_type, uint64_t position,
                                 std::string payload) {
  format::OwnedStoredRecord record;
  record.kind = format::kSystemRecordFrame;
  record.position = position;
  record.envelope.event_type = format::EventType::New(std::string(event_type)).value();
  record.payload = std::move(payload);
  return record;
}

TEST(BranchCatalogTest, RebuildAppliesBranchRecordsAndSkipsOthers) {
  VectorSource empty;
  Result<BranchCatalog> fresh = BranchCatalog::Rebuild(empty);
  ASSERT_TRUE(fresh.ok());
  EXPECT_EQ(*fresh, BranchCatalog());

  const BranchInfo b = Info("b", IdOf(1), kMain, 3);
  VectorSource source{{
      Record(kBranchCreatedEventType, 3, b.ToJson()),
      Record("corvantine.consumer.checkpoint", 4, "not a branch"),
      Record(kBranchArchivedEventType, 5, Archived(b).ToJson()),
  }};
  Result<BranchCatalog> rebuilt = BranchCatalog::Rebuild(source);
  ASSERT_TRUE(rebuilt.ok()) << ErrorText(rebuilt);
  BranchCatalog expected;
  ASSERT_TRUE(expected.Insert(Archived(b)).ok());
  EXPECT_EQ(*rebuilt, expected);
}

TEST(BranchCatalogTest, RebuildStopsAtTheFirstError) {
  const BranchInfo b = Info("b", IdOf(1));
  struct Case {
    VectorSource source;
    std::string error;
  };
  Case cases[] = {
      {{{Record(kBranchCreatedEventType, 7, "{\"id\":1}")}},
       "corrupt record at offset 7: branch metadata decode: invalid type: integer `1`, "
       "expected an array of length 16 at line 1 column 7"},
      {{{Record(kBranchArchivedEventType, 8, "")}},
       "corrupt record at offset 8: branch metadata decode: EOF while parsing a value at line 1 "
       "column 0"},
      {{{Record(kBranchArchivedEventType, 2, Archived(b).ToJson())}},
       "branch not found: " + b.id.ToHex()},
      {{{Record(kBranchCreatedEventType, 1, b.ToJson())}, CorvantineError::OffsetBeyondHead(4)},
       "offset 4 beyond head"},
  };
  for (Case& c : cases) EXPECT_EQ(ErrorText(BranchCatalog::Rebuild(c.source)), c.error);
}

std::string Unhex(std::string_view hex) {
  std::string bytes;
  for (size_t i = 0; i < hex.size(); ++i) {
    if (hex[i] == ' ') continue;
    bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    ++i;
  }
  return bytes;
}

// main, and b: forked from main at 5, created at -1, metadata {"k": 00 ff},
// archived.
BranchCatalog SmallCatalog() {
  BranchCatalog catalog;
  BranchInfo b = Info("b", IdOf(0x11), kMain, 5);
  b.created_at_unix_nanos = -1;
  b.metadata["k"] = std::string("\x00\xff", 2);
  EXPECT_TRUE(catalog.Insert(b).ok());
  EXPECT_TRUE(catalog.Archive(Archived(b)).ok());
  return catalog;
}

const std::string kZeroId = "00000000000000000000000000000000";
const std::string kId11 = "11111111111111111111111111111111";
const std::string kSmallCatalogHex =
    "0200000000000000" +                                    // two infos
    kZeroId + kZeroId + "0400000000000000 6d61696e" +       // main: key, id, name
    "00 00 0000000000000000 0000000000000000 00000000" +    // no parent, no fork, t, md, Active
    kId11 + kId11 + "0100000000000000 62" +                 // b
    "01" + kZeroId + "01 0500000000000000" +                // parent main, fork 5
    "ffffffffffffffff 0100000000000000" +                   // t = -1, one entry
    "0100000000000000 6b 0200000000000000 00ff" +           // "k" -> 00 ff
    "01000000" +                                            // Archived
    "0200000000000000" +                                    // two names, sorted
    "0100000000000000 62" + kId11 + "0400000000000000 6d61696e" + kZeroId;

TEST(BranchCatalogCodecTest, EncodesTheGoldenBytes) {
  std::string bytes;
  util::BinaryWriter writer(bytes);
  SmallCatalog().Encode(writer);
  EXPECT_EQ(bytes, Unhex(kSmallCatalogHex));
}

TEST(BranchCatalogCodecTest, RoundTrips) {
  BranchCatalog catalog = ThreeLevels();
  BranchInfo wide = Info(std::string(255, 'w'), IdOf(0xfe), IdOf(2), 1ull << 63);
  wide.metadata = {{"", ""}, {"a", std::string(300, '\0')}, {"\xc3\xa9", "x"}};
  ASSERT_TRUE(catalog.Insert(wide).ok());
  ASSERT_TRUE(catalog.Archive(Archived(wide)).ok());
  for (const BranchCatalog& original : {BranchCatalog(), SmallCatalog(), catalog}) {
    std::string bytes;
    util::BinaryWriter writer(bytes);
    original.Encode(writer);
    bytes += "trailing";
    util::BinaryReader reader(bytes);
    Result<BranchCatalog> decoded = BranchCatalog::Decode(reader);
    ASSERT_TRUE(decoded.ok()) << ErrorText(decoded);
    EXPECT_EQ(*decoded, original);
    EXPECT_EQ(reader.remaining(), 8u);
  }
}

TEST(BranchCatalogCodecTest, RefusesDamagedBytes) {
  const std::string golden = Unhex(kSmallCatalogHex);
  const std::string end = "codec error: io error: unexpected end of file";
  // main's status is the 4 bytes before b's key.
  const size_t main_status = 8 + 16 + 16 + 8 + 4 + 1 + 1 + 8 + 8;
  std::string bad_status = golden;
  bad_status[main_status] = 2;
  std::string bad_tag = golden;
  bad_tag[main_status - 18] = 2;  // main's parent tag
  std::string bad_utf8 = golden;
  bad_utf8[8 + 32 + 8] = '\xff';  // main's name
  struct Case {
    std::string name;
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {"status 2", bad_status,
       "codec error: invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {"option tag 2", bad_tag, "codec error: tag for enum is not valid, found 2"},
      {"name not UTF-8", bad_utf8, "codec error: invalid utf-8 sequence"},
      {"huge info count", Unhex("ffffffffffffffff"), end},
      {"huge name count", Unhex("0000000000000000 ffffffffffffff7f"), end},
      {"huge name length", Unhex("0100000000000000" + kZeroId + kZeroId + "ffffffffffffffff"),
       end},
      {"huge metadata count",
       Unhex("0100000000000000" + kZeroId + kZeroId + "0000000000000000 00 00" +
             "0000000000000000 ffffffffffffffff"),
       end},
  };
  for (const Case& c : cases) {
    util::BinaryReader reader(c.bytes);
    EXPECT_EQ(ErrorText(BranchCatalog::Decode(reader)), c.error) << c.name;
  }
  for (size_t length = 0; length < golden.size(); ++length) {
    util::BinaryReader reader(std::string_view(golden).substr(0, length));
    EXPECT_EQ(ErrorText(BranchCatalog::Decode(reader)), end) << length;
  }
}

}  // namespace
}  // namespace corvantine::branch
