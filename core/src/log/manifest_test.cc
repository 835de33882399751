#include "log/manifest.h"

#include <cerrno>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "testing/fault.h"
#include "testing/test_util.h"

namespace corvantine::log::manifest {
namespace {

using namespace platform::testing;

Manifest Sample() {
  format::IdBytes id;
  for (uint8_t i = 0; i < 16; ++i) id[i] = i;
  Manifest manifest;
  manifest.database_id = format::DatabaseId(id);
  manifest.active_segment_base = 1234;
  manifest.next_offset = 1234;
  return manifest;
}

constexpr std::string_view kSampleText = R"({
  "format_version": 3,
  "storage_format_version": 2,
  "database_id": [
    0,
    1,
    2,
    3,
    4,
    5,
    6,
    7,
    8,
    9,
    10,
    11,
    12,
    13,
    14,
    15
  ],
  "payload_format_version": 1,
  "active_segment_base": 1234,
  "retention_floor": 0,
  "retention_generation": 0,
  "retention_anchor_checksum": null,
  "next_offset": 1234
})";

TEST(ManifestTest, EncodesTheExactDocument) {
  EXPECT_EQ(Sample().Encode(), kSampleText);

  Manifest retained = Sample();
  retained.retention_floor = 900;
  retained.retention_generation = UINT64_MAX;
  retained.retention_anchor_checksum = 4294967295u;
  const std::string text = retained.Encode();
  EXPECT_NE(text.find("\n  \"retention_generation\": 18446744073709551615,\n"), std::string::npos);
  EXPECT_NE(text.find("\n  \"retention_anchor_checksum\": 4294967295,\n"), std::string::npos);
  EXPECT_EQ(Outcome(Manifest::Decode(text)), "ok");
  EXPECT_EQ(*Manifest::Decode(text), retained);
}

// Documents that decode, each checked through a change to Sample().
TEST(ManifestTest, DecodesLeniently) {
  const struct {
    std::string name;
    std::string text;
    std::function<void(Manifest&)> expected;  // applied to Sample()
  } cases[] = {
      {"as written", std::string(kSampleText), [](Manifest&) {}},
      {"any key order, unknown keys",
       R"({"next_offset": 1234, "extra": {"nested": [1, "x", null]}, "active_segment_base": 1234,
           "database_id": [0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15], "format_version": 3,
           "storage_format_version": 2, "retention_anchor_checksum": 7, "later": -1.5})",
       [](Manifest& m) { m.retention_anchor_checksum = 7; }},
      {"only the required keys",
       R"({"format_version": 3, "active_segment_base": 1234, "next_offset": 1234})",
       [](Manifest& m) {
         m.storage_format_version = 1;
         m.database_id = format::DatabaseId();
       }},
      {"array of all nine",
       R"([4, 2, [0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15], 9, 1234, 5, 6, 77, 1300])",
       [](Manifest& m) {
         m.format_version = 4;
         m.payload_format_version = 9;
         m.retention_floor = 5;
         m.retention_generation = 6;
         m.retention_anchor_checksum = 77;
         m.next_offset = 1300;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Manifest expected = Sample();
    c.expected(expected);
    auto decoded = Manifest::Decode(c.text);
    ASSERT_TRUE(decoded.ok()) << decoded.error().ToString();
    EXPECT_EQ(*decoded, expected);
  }
}

TEST(ManifestTest, RefusesMalformedDocuments) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"{}", "missing field `format_version` at line 1 column 2"},
      {R"({"format_version": 3})", "missing field `active_segment_base` at line 1 column 21"},
      {R"({"format_version": 3, "active_segment_base": 0})",
       "missing field `next_offset` at line 1 column 47"},
      {"{\"format_version\": 3,\n \"retention_floor\": 1,\n \"retention_floor\": 2}",
       "duplicate field `retention_floor` at line 3 column 18"},
      {R"({"retention_floor": -1})",
       "invalid value: integer `-1`, expected u64 at line 1 column 22"},
      {R"({"retention_floor": 1.5})",
       "invalid type: floating point `1.5`, expected u64 at line 1 column 23"},
      {R"({"format_version": 4294967296})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 29"},
      {R"({"database_id": [1, 2]})",
       "invalid length 2, expected an array of length 16 at line 1 column 22"},
      {R"({"database_id": [256]})",
       "invalid value: integer `256`, expected u8 at line 1 column 20"},
      {R"({"retention_anchor_checksum": "7"})",
       "invalid type: string \"7\", expected u32 at line 1 column 33"},
      {R"([3, 2, [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0], 1, 0, 0, 0, null])",
       "invalid length 8, expected struct Manifest with 9 elements at line 1 column 59"},
      {R"([3, 2, [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0], 1, 0, 0, 0, null, 0, 0])",
       "trailing characters at line 1 column 64"},
      {R"({"format_version": 3, "active_segment_base": 0, "next_offset": 0} x)",
       "trailing characters at line 1 column 67"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"7", "invalid type: integer `7`, expected struct Manifest at line 1 column 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto decoded = Manifest::Decode(c.text);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().kind(), error::Kind::kManifest);
    EXPECT_EQ(decoded.error().As<error::Manifest>()->message, c.error);
  }
}

class ManifestFileTest : public ::testing::Test {
 protected:
  std::string PathOf(const char* name) const { return platform::JoinPath(dir_.path(), name); }

  platform::TempDir dir_;
};

TEST_F(ManifestFileTest, WriteThenRead) {
  auto missing = Manifest::Read(dir_.path());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), error::Kind::kIo);
  EXPECT_EQ(missing.error().As<error::Io>()->error.os_code, ENOENT);

  // A temporary file left by an interrupted write is neither read nor kept.
  platform::File leftover = *platform::CreateOrTruncate(PathOf(kTempFileName));
  ASSERT_TRUE(leftover.WriteAt(0, std::string(5000, '#')).ok());
  ASSERT_EQ(Outcome(Sample().Write(dir_.path())), "ok");
  EXPECT_EQ(*platform::ReadFile(PathOf(kFileName)), kSampleText);
  EXPECT_FALSE(platform::PathExists(PathOf(kTempFileName)));
  EXPECT_EQ(*Manifest::Read(dir_.path()), Sample());

  ASSERT_TRUE(platform::CreateOrTruncate(PathOf(kFileName))->WriteAt(0, "{").ok());
  EXPECT_EQ(Outcome(Manifest::Read(dir_.path())),
            "manifest error: EOF while parsing an object at line 1 column 1");
}

// Each step of a write can fail; until the rename the old document stays.
TEST_F(ManifestFileTest, FailedWritesKeepThePreviousDocument) {
  Manifest next = Sample();
  next.active_segment_base = next.next_offset = 5000;
  const struct {
    std::string name;
    Op op;
    std::vector<std::pair<uint64_t, Fault>> faults;  // on the nth call of op
    bool replaced;
  } cases[] = {
      {"create", Op::kOpen, {{1, Fault::Error(EACCES)}}, false},
      {"write", Op::kWrite, {{1, Fault::Error(ENOSPC)}}, false},
      {"torn write", Op::kWrite, {{1, Fault::Short(10)}, {2, Fault::Error(EIO)}}, false},
      {"flush", Op::kSync, {{1, Fault::Error(EIO)}}, false},
      {"close", Op::kClose, {{1, Fault::Error(EIO)}}, false},
      {"rename", Op::kRename, {{1, Fault::Error(EXDEV)}}, false},
      {"directory flush", Op::kSyncDir, {{1, Fault::Error(EIO)}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Outcome(Sample().Write(dir_.path())), "ok");
    {
      std::vector<std::unique_ptr<ScopedFault>> faults;
      for (const auto& [nth, fault] : c.faults) {
        faults.push_back(std::make_unique<ScopedFault>(c.op, nth, fault));
      }
      auto written = next.Write(dir_.path());
      ASSERT_FALSE(written.ok());
      EXPECT_EQ(written.error().kind(), error::Kind::kIo);
      for (const auto& fault : faults) EXPECT_EQ(fault->hits(), 1u);
    }
    EXPECT_EQ(*Manifest::Read(dir_.path()), c.replaced ? next : Sample());
  }
}

}  // namespace
}  // namespace corvantine::log::manifest
