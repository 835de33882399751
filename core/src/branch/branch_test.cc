#include "branch/branch.h"

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace corvantine::branch {
namespace {

using ::testing::StartsWith;

template <typename T>
std::string ErrorText(const Result<T>& result) {
  return result.ok() ? "ok" : result.error().ToString();
}

TEST(BranchNameTest, AcceptsOneTo255BytesOfUtf8WithoutNul) {
  std::string with_nul(300, 'n');
  with_nul[299] = '\0';
  struct Case {
    std::string text;
    std::string result;
  };
  const Case cases[] = {
      {"m", "ok"},
      {std::string(255, 'x'), "ok"},
      {"caf\xc3\xa9", "ok"},
      {std::string(256, 'x'), "resource limit exceeded: branch name bytes is 256, maximum is 255"},
      {"", "invalid argument: branch name must be nonempty and contain no NUL"},
      {std::string("a\0b", 3), "invalid argument: branch name must be nonempty and contain no NUL"},
      // The NUL is reported before the length.
      {with_nul, "invalid argument: branch name must be nonempty and contain no NUL"},
      {"caf\xc3", "invalid argument: branch name must be valid UTF-8"},
  };
  for (const Case& c : cases) {
    Result<BranchName> name = BranchName::New(c.text);
    EXPECT_EQ(ErrorText(name), c.result) << c.text.size() << " bytes";
    if (name.ok()) {
      EXPECT_EQ(name->str(), c.text);
    }
  }
}

BranchInfo Feature() {
  BranchInfo info;
  format::IdBytes bytes;
  for (uint8_t i = 0; i < 16; ++i) bytes[i] = i;
  info.id = format::BranchId(bytes);
  info.name = "b1";
  info.parent = format::BranchId();
  info.fork_position = 30;
  info.created_at_unix_nanos = 1'700'000'000'000'000'000;
  info.metadata["owner"] = std::string("al\0\xff", 4);
  return info;
}

constexpr char kZeroIdJson[] = "[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]";

TEST(BranchInfoJsonTest, WritesCompactJsonInFieldOrder) {
  EXPECT_EQ(Feature().ToJson(),
            std::string("{\"id\":[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15],\"name\":\"b1\",") +
                "\"parent\":" + kZeroIdJson +
                ",\"fork_position\":30,\"created_at_unix_nanos\":1700000000000000000," +
                "\"metadata\":{\"owner\":[97,108,0,255]},\"status\":\"Active\"}");

  BranchInfo main = DefaultBranchInfo();
  main.status = BranchStatus::kArchived;
  main.name = "q\"\n";
  main.created_at_unix_nanos = -5;
  EXPECT_EQ(main.ToJson(), std::string("{\"id\":") + kZeroIdJson +
                               ",\"name\":\"q\\\"\\n\",\"parent\":null,\"fork_position\":null," +
                               "\"created_at_unix_nanos\":-5,\"metadata\":{}," +
                               "\"status\":\"Archived\"}");
}

TEST(BranchInfoJsonTest, ReadsBackWhatItWrites) {
  BranchInfo archived = Feature();
  archived.status = BranchStatus::kArchived;
  archived.metadata["\xc3\xa9"] = "";
  archived.created_at_unix_nanos = INT64_MIN;
  archived.fork_position = UINT64_MAX;
  for (const BranchInfo& info : {Feature(), archived, DefaultBranchInfo()}) {
    Result<BranchInfo> read = BranchInfo::FromJson(info.ToJson());
    ASSERT_TRUE(read.ok()) << ErrorText(read);
    EXPECT_EQ(*read, info);
  }
}

TEST(BranchInfoJsonTest, AcceptsAnyKeyOrderUnknownKeysAndTheArrayForm) {
  const std::string zero = kZeroIdJson;
  BranchInfo main = DefaultBranchInfo();
  BranchInfo archived_main = main;
  archived_main.status = BranchStatus::kArchived;
  struct Case {
    std::string json;
    BranchInfo expected;
  };
  const Case cases[] = {
      {" {\"status\":\"Active\",\"metadata\":{},\"created_at_unix_nanos\":0,"
       "\"fork_position\":null,\"parent\":null,\"name\":\"main\",\"id\":" + zero + "} ",
       main},
      {"{\"id\":" + zero + ",\"extra\":{\"deep\":[1,{\"x\":null}]},\"name\":\"main\","
       "\"parent\":null,\"fork_position\":null,\"created_at_unix_nanos\":0,\"metadata\":{},"
       "\"status\":\"Active\",\"zzz\":1.5}",
       main},
      // Absent optional fields are none.
      {"{\"id\":" + zero + ",\"name\":\"main\",\"created_at_unix_nanos\":0,\"metadata\":{},"
       "\"status\":\"Active\"}",
       main},
      {"[" + zero + ",\"main\",null,null,0,{},\"Archived\"]", archived_main},
  };
  for (const Case& c : cases) {
    Result<BranchInfo> read = BranchInfo::FromJson(c.json);
    ASSERT_TRUE(read.ok()) << c.json << ": " << ErrorText(read);
    EXPECT_EQ(*read, c.expected) << c.json;
  }
}

TEST(BranchInfoJsonTest, RefusesWrongValuesWithTheReadersMessage) {
  const std::string id = "\"id\":" + std::string(kZeroIdJson);
  const std::string rest =
      ",\"name\":\"b\",\"created_at_unix_nanos\":0,\"metadata\":{},\"status\":\"Active\"}";
  struct Case {
    std::string json;
    std::string message;
  };
  const Case cases[] = {
      {"{" + id + ",\"name\":\"b\",\"created_at_unix_nanos\":0,\"metadata\":{},"
                  "\"status\":\"Deleted\"}",
       "unknown variant `Deleted`, expected `Active` or `Archived`"},
      {"{" + id + ",\"name\":\"b\",\"created_at_unix_nanos\":0,\"metadata\":{\"k\":[256]},"
                  "\"status\":\"Active\"}",
       "invalid value: integer `256`, expected u8"},
      {"{" + id + ",\"name\":5,\"created_at_unix_nanos\":0,\"metadata\":{},\"status\":\"Active\"}",
       "invalid type: integer `5`, expected a string"},
      {"{\"id\":[0,1]" + rest, "invalid length 2, expected an array of length 16"},
      {"{" + id + ",\"fork_position\":-1" + rest, "invalid value: integer `-1`, expected u64"},
      {"{" + id + ",\"name\":\"b\",\"metadata\":{},\"status\":\"Active\"}",
       "missing field `created_at_unix_nanos`"},
      {"{" + id + ",\"name\":\"a\"" + rest, "duplicate field `name`"},
      {"\"main\"", "invalid type: string \"main\", expected struct BranchInfo"},
      {"{" + id + rest + "x", "trailing characters"},
  };
  for (const Case& c : cases) {
    Result<BranchInfo> read = BranchInfo::FromJson(c.json);
    ASSERT_FALSE(read.ok()) << c.json;
    EXPECT_EQ(read.error().kind(), error::Kind::kInvalidFormat);
    EXPECT_THAT(read.error().As<error::InvalidFormat>()->message,
                StartsWith(c.message + " at line 1 column "))
        << c.json;
  }
}

}  // namespace
}  // namespace corvantine::branch
