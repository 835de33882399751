// The JSON payloads of the bootstrap system records.

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "retention/anchor.h"
#include "retention/test_util.h"
#include "testing/test_util.h"

namespace corvantine::retention {
namespace {

using platform::Outcome;
using ::testing::StartsWith;

// The JSON array of 16 equal bytes, with `count` elements.
std::string IdArray(int byte, int count = 16) {
  std::string out = "[";
  for (int i = 0; i < count; ++i) out += (i ? "," : "") + std::to_string(byte);
  return out + "]";
}

RetentionBranchBootstrap BranchSample() {
  RetentionBranchBootstrap bootstrap;
  bootstrap.branch_id = format::BranchId(FilledId(1));
  bootstrap.floor = 7;
  bootstrap.checksum = 9;  // not checked by the JSON form
  bootstrap.checkpoint = std::string("\x00\xff", 2);
  return bootstrap;
}

RetentionConsumerBootstrap ConsumerSample() {
  RetentionConsumerBootstrap bootstrap;
  bootstrap.consumer_id = "c\"1";
  bootstrap.floor = 7;
  bootstrap.checksum = 4294967295;
  bootstrap.checkpoint = "A";
  bootstrap.checkpoint_id = FilledId(2);
  bootstrap.scope.branches = {format::BranchId()};
  bootstrap.scope.streams = {format::StreamId(FilledId(3))};
  bootstrap.scope.event_types = {"t"};
  bootstrap.codec_version = 2;
  return bootstrap;
}

const std::string kScope = R"({"branches":[)" + IdArray(0) + R"(],"streams":[)" + IdArray(3) +
                           R"(],"event_types":["t"]})";
const std::string kConsumerHead = R"({"consumer_id":"c\"1","floor":7,"checksum":4294967295,)"
                                  R"("checkpoint":[65],"checkpoint_id":)" +
                                  IdArray(2) + R"(,"scope":)" + kScope;
const std::string kConsumerJson = kConsumerHead + R"(,"codec":"opaque","codec_version":2})";

TEST(BootstrapJson, WritesCompactFieldsInOrder) {
  EXPECT_EQ(BranchSample().ToJson(), R"({"branch_id":)" + IdArray(1) +
                                         R"(,"floor":7,"checksum":9,"checkpoint":[0,255]})");
  EXPECT_EQ(ConsumerSample().ToJson(), kConsumerJson);
}

TEST(BootstrapJson, RoundTrips) {
  const Result<RetentionBranchBootstrap> branch =
      RetentionBranchBootstrap::FromJson(BranchSample().ToJson());
  ASSERT_EQ(Outcome(branch), "ok");
  EXPECT_EQ(*branch, BranchSample());

  RetentionConsumerBootstrap consumer = ConsumerSample();
  consumer.codec = "json";
  consumer.scope = {};
  const Result<RetentionConsumerBootstrap> read =
      RetentionConsumerBootstrap::FromJson(consumer.ToJson());
  ASSERT_EQ(Outcome(read), "ok");
  EXPECT_EQ(*read, consumer);
}

TEST(BootstrapJson, ConsumerReadingRules) {
  const std::string array_head = R"(["c\"1",7,4294967295,[65],)" + IdArray(2) + "," + kScope;
  const struct {
    const char* name;
    std::string json;
    std::string outcome;  // "ok" (then it reads as ConsumerSample), or the message's start
  } cases[] = {
      {"object", kConsumerJson, "ok"},
      {"codec left out", kConsumerHead + R"(,"codec_version":2})", "ok"},
      {"keys in any order, unknown keys skipped, blanks around",
       R"( {"codec_version":2,"x":[{"y":null}],)" + kConsumerHead.substr(1) +
           R"(,"codec":"opaque"})" + "\n ",
       "ok"},
      {"array", array_head + R"(,"opaque",2])", "ok"},
      {"codec_version missing", kConsumerHead + R"(,"codec":"opaque"})",
       "serialization error: missing field `codec_version` at line 1 column"},
      {"duplicate key", R"({"floor":7,)" + kConsumerJson.substr(1),
       "serialization error: duplicate field `floor` at line 1 column"},
      {"array without codec", array_head + ",2]",
       "serialization error: invalid type: integer `2`, expected a string"},
      {"array too short", array_head + "]",
       "serialization error: invalid length 7, expected struct RetentionConsumerBootstrap with "
       "8 elements"},
      {"id of 15 elements",
       R"({"consumer_id":"c","floor":7,"checksum":1,"checkpoint":[],"checkpoint_id":)" +
           IdArray(2, 15),
       "serialization error: invalid length 15, expected an array of length 16"},
      {"id of 17 elements",
       R"({"consumer_id":"c","floor":7,"checksum":1,"checkpoint":[],"checkpoint_id":)" +
           IdArray(2, 17),
       "serialization error: trailing characters"},
      {"byte above 255", R"({"consumer_id":"c","floor":7,"checksum":1,"checkpoint":[256])",
       "serialization error: invalid value: integer `256`, expected u8"},
      {"checksum beyond u32", R"({"consumer_id":"c","floor":7,"checksum":4294967296})",
       "serialization error: invalid value: integer `4294967296`, expected u32"},
      {"negative floor", R"({"consumer_id":"c","floor":-1})",
       "serialization error: invalid value: integer `-1`, expected u64"},
      {"text after the value", kConsumerJson + " x",
       "serialization error: trailing characters at line 1 column"},
      {"not a struct", "7",
       "serialization error: invalid type: integer `7`, expected struct "
       "RetentionConsumerBootstrap"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<RetentionConsumerBootstrap> read = RetentionConsumerBootstrap::FromJson(c.json);
    if (c.outcome == "ok") {
      ASSERT_EQ(Outcome(read), "ok");
      EXPECT_EQ(*read, ConsumerSample());
    } else {
      EXPECT_THAT(Outcome(read), StartsWith(c.outcome));
    }
  }
}

TEST(BootstrapJson, BranchReadingRules) {
  const std::string id = IdArray(1);
  const struct {
    const char* name;
    std::string json;
    std::string outcome;
  } cases[] = {
      {"object, keys in any order",
       R"({"checkpoint":[0,255],"checksum":9,"floor":7,"branch_id":)" + id + "}", "ok"},
      {"array", "[" + id + ",7,9,[0,255]]", "ok"},
      {"missing key", R"({"branch_id":)" + id + R"(,"floor":7,"checksum":9})",
       "serialization error: missing field `checkpoint`"},
      {"duplicate key", R"({"branch_id":)" + id + R"(,"branch_id":)" + id,
       "serialization error: duplicate field `branch_id`"},
      {"array too long", "[" + id + ",7,9,[0,255],1]", "serialization error: trailing characters"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Result<RetentionBranchBootstrap> read = RetentionBranchBootstrap::FromJson(c.json);
    if (c.outcome == "ok") {
      ASSERT_EQ(Outcome(read), "ok");
      EXPECT_EQ(*read, BranchSample());
    } else {
      EXPECT_THAT(Outcome(read), StartsWith(c.outcome));
    }
  }
}

}  // namespace
}  // namespace corvantine::retention
