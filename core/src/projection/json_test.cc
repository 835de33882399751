#include "projection/json.h"

#include <functional>
#include <string>
#include <string_view>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "projection/fingerprint.h"

namespace corvantine::projection {
namespace {

using ::testing::StartsWith;

const std::string kZeroId = "[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]";
const std::string kPlainDescriptor =
    R"({"name":"v","definition_id":)" + kZeroId +
    R"(,"definition_version":1,"input_types":[],"state_codec":1,"state_codec_version":1,)"
    R"("scope":{"branch_id":)" +
    kZeroId +
    R"(,"stream":null},)"
    R"("partition_scheme":{"scheme_id":"stream-id-modulo","version":1,"partition_count":1}})";
const std::string kDefinition =
    R"({"key_field":"id","indexes":{"a":"x","b":"y"},"filter":["kind",[34,111,34]]})";
const std::string kRegistration =
    R"({"descriptor":)" + kPlainDescriptor + R"(,"definition":)" + kDefinition + "}";

DurableProjectionRegistration Registration() {
  DurableProjectionRegistration registration;
  registration.descriptor.name = "v";
  registration.descriptor.definition_version = 1;
  registration.descriptor.state_codec = 1;
  registration.descriptor.state_codec_version = 1;
  registration.definition =
      QueryDefinition{"id", {{"b", "y"}, {"a", "x"}}, QueryFilter{"kind", "\"o\""}};
  return registration;
}

TEST(ProjectionJsonTest, WritesCompactFieldsInDeclaredOrder) {
  EXPECT_EQ(ToJson(Registration()), kRegistration);
  DurableProjectionRegistration bare = Registration();
  bare.definition.reset();
  bare.descriptor.input_types = {{"t\x01\x7f/", 1, 2}};
  bare.descriptor.scope.stream = "s";
  EXPECT_EQ(ToJson(bare.descriptor.input_types[0]),
            R"({"event_type":"t\u0001)"
            "\x7f"
            R"(/","min_schema_version":1,"max_schema_version":2})");
  EXPECT_EQ(ToJson(bare.descriptor.scope), R"({"branch_id":)" + kZeroId + R"(,"stream":"s"})");
  EXPECT_THAT(ToJson(bare), ::testing::EndsWith(R"(,"definition":null})"));
  EXPECT_EQ(ToJson(ConsumerCheckpoint{"c\"1", 18446744073709551615u}),
            R"({"consumer_id":"c\"1","position":18446744073709551615})");
  format::ProjectionCursor cursor;
  cursor.position = 7;
  cursor.descriptor_fingerprint[0] = 255;
  EXPECT_EQ(ToJson(cursor),
            R"({"database_id":)" + kZeroId + R"(,"branch_id":)" + kZeroId +
                R"(,"position":7,"descriptor_fingerprint":[255,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]})");
}

TEST(ProjectionJsonTest, EveryTypeRoundTrips) {
  DurableProjectionRegistration registration = Registration();
  registration.descriptor.input_types = {{"a", 0, 4294967295}, {"", 3, 1}};
  registration.descriptor.scope = {format::BranchId(format::IdBytes{1, 2, 3}), "s\n\xc3\xa9"};
  registration.descriptor.partition_scheme = {"other", 2, 4096};
  EXPECT_EQ(FromJson<DurableProjectionRegistration>(ToJson(registration)).value(), registration);
  registration.definition.reset();
  EXPECT_EQ(FromJson<DurableProjectionRegistration>(ToJson(registration)).value(), registration);

  const ConsumerCheckpoint checkpoint{"consumer", 42};
  EXPECT_EQ(FromJson<ConsumerCheckpoint>(ToJson(checkpoint)).value(), checkpoint);
  format::ProjectionCursor cursor;
  cursor.database_id = format::DatabaseId(format::IdBytes{9});
  cursor.position = 5;
  cursor.descriptor_fingerprint = DescriptorFingerprint(registration.descriptor);
  EXPECT_EQ(FromJson<format::ProjectionCursor>(ToJson(cursor)).value(), cursor);
}

// Reordered keys read the same value, whose fingerprint is that of the
// writer's order.
TEST(ProjectionJsonTest, ReorderedDescriptorKeepsItsFingerprint) {
  const std::string reordered =
      R"({"partition_scheme":{"partition_count":1,"version":1,"scheme_id":"stream-id-modulo"},)"
      R"("scope":{"stream":null,"branch_id":)" +
      kZeroId +
      R"(},"state_codec_version":1,)"
      R"("state_codec":1,"input_types":[],"definition_version":1,"definition_id":)" +
      kZeroId + R"(,"name":"v"})";
  const ProjectionDescriptor read = FromJson<ProjectionDescriptor>(reordered).value();
  EXPECT_EQ(ToJson(read), kPlainDescriptor);
  EXPECT_EQ(format::IdBytesToHex(DescriptorFingerprint(read)), "48870fbb256c119bf65f9dc5c63c7667");
}

TEST(ProjectionJsonTest, TextsThatAreNotUtf8AreFoundBeforeTheyAreWritten) {
  const std::string bad = "\xff";
  EXPECT_TRUE(HasUtf8Texts(Registration()));
  EXPECT_FALSE(HasUtf8Texts(ConsumerCheckpoint{bad, 1}));
  const std::function<void(DurableProjectionRegistration&)> spoil[] = {
      [&](auto& r) { r.descriptor.name = bad; },
      [&](auto& r) { r.descriptor.input_types = {{bad, 1, 1}}; },
      [&](auto& r) { r.descriptor.scope.stream = bad; },
      [&](auto& r) { r.descriptor.partition_scheme.scheme_id = bad; },
      [&](auto& r) { r.definition->key_field = bad; },
      [&](auto& r) { r.definition->indexes[bad] = "x"; },
      [&](auto& r) { r.definition->indexes["x"] = bad; },
      [&](auto& r) { r.definition->filter->field = bad; },
  };
  for (const auto& change : spoil) {
    DurableProjectionRegistration registration = Registration();
    change(registration);
    EXPECT_FALSE(HasUtf8Texts(registration));
    EXPECT_FALSE(FromJson<DurableProjectionRegistration>(ToJson(registration)).ok());
  }
}

// "=" and the value written back, or the reader's message.
template <typename T>
std::string ReadBack(std::string_view text) {
  util::json::Result<T> value = FromJson<T>(text);
  return value.ok() ? "=" + ToJson(*value) : value.error().message;
}

TEST(ProjectionJsonTest, ReadingRules) {
  const std::string no_definition =
      R"(={"descriptor":)" + kPlainDescriptor + R"(,"definition":null})";
  const std::string descriptor_head =
      kPlainDescriptor.substr(0, kPlainDescriptor.find(R"(,"partition_scheme")"));
  const std::string deep_unknown = std::string(100000, '[') + std::string(100000, ']');
  const struct {
    const char* what;
    std::string (*read)(std::string_view);
    std::string text;
    std::string outcome;  // "=" and the value written back, or the message's start
  } cases[] = {
      {"registration", ReadBack<DurableProjectionRegistration>, kRegistration, "=" + kRegistration},
      {"keys in any order, unknown keys skipped, blanks around",
       ReadBack<DurableProjectionRegistration>,
       " {\"x\":{\"y\":[1,{}]},\"definition\":" + kDefinition +
           ",\n\"descriptor\":" + kPlainDescriptor + "} \n",
       "=" + kRegistration},
      {"array form", ReadBack<DurableProjectionRegistration>,
       "[" + kPlainDescriptor + "," + kDefinition + "]", "=" + kRegistration},
      {"definition left out", ReadBack<DurableProjectionRegistration>,
       R"({"descriptor":)" + kPlainDescriptor + "}", no_definition},
      {"definition null", ReadBack<DurableProjectionRegistration>,
       R"({"definition":null,"descriptor":)" + kPlainDescriptor + "}", no_definition},
      {"unknown member nested 100000 deep", ReadBack<DurableProjectionRegistration>,
       R"({"deep":)" + deep_unknown + R"(,"descriptor":)" + kPlainDescriptor + "}", no_definition},
      {"descriptor missing", ReadBack<DurableProjectionRegistration>, R"({"definition":null})",
       "missing field `descriptor` at line 1 column 19"},
      {"descriptor twice", ReadBack<DurableProjectionRegistration>,
       R"({"descriptor":)" + kPlainDescriptor + R"(,"descriptor":1})",
       "duplicate field `descriptor` at line 1 column 323"},
      {"text after the value", ReadBack<DurableProjectionRegistration>, kRegistration + " x",
       "trailing characters at line 1 column 403"},
      {"not a struct", ReadBack<DurableProjectionRegistration>, "7",
       "invalid type: integer `7`, expected struct DurableProjectionRegistration at line 1 column "
       "1"},
      {"array without the optional definition", ReadBack<DurableProjectionRegistration>,
       "[" + kPlainDescriptor + "]",
       "invalid length 1, expected struct DurableProjectionRegistration with 2 elements"},
      {"empty text", ReadBack<DurableProjectionRegistration>, "",
       "EOF while parsing a value at line 1 column 0"},
      {"descriptor without partition_scheme", ReadBack<ProjectionDescriptor>, descriptor_head + "}",
       "=" + kPlainDescriptor},
      {"descriptor array of seven", ReadBack<ProjectionDescriptor>,
       R"(["v",)" + kZeroId + R"(,1,[],1,1,{"branch_id":)" + kZeroId + "}]",
       "=" + kPlainDescriptor},
      {"descriptor array of six", ReadBack<ProjectionDescriptor>,
       R"(["v",)" + kZeroId + ",1,[],1,1]",
       "invalid length 6, expected struct ProjectionDescriptor with 8 elements"},
      {"partition_scheme null", ReadBack<ProjectionDescriptor>,
       descriptor_head + R"(,"partition_scheme":null})",
       "invalid type: null, expected struct PartitionScheme"},
      {"name twice", ReadBack<ProjectionDescriptor>, R"({"name":"v","name":"w"})",
       "duplicate field `name` at line 1 column 18"},
      {"id of 15 numbers", ReadBack<ProjectionDescriptor>,
       R"({"name":"v","definition_id":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]})",
       "invalid length 15, expected an array of length 16"},
      {"id byte above 255", ReadBack<ProjectionDescriptor>, R"({"definition_id":[256]})",
       "invalid value: integer `256`, expected u8"},
      {"version beyond u32", ReadBack<ProjectionDescriptor>, R"({"definition_version":4294967296})",
       "invalid value: integer `4294967296`, expected u32"},
      {"input type without max", ReadBack<ProjectionDescriptor>,
       R"({"input_types":[{"event_type":"t","min_schema_version":1}]})",
       "missing field `max_schema_version`"},
      {"scope without branch", ReadBack<ProjectionScope>, R"({"stream":"s"})",
       "missing field `branch_id`"},
      {"definition without indexes", ReadBack<QueryDefinition>, R"({"key_field":"k"})",
       "missing field `indexes` at line 1 column 17"},
      {"filter of one element", ReadBack<QueryDefinition>, R"({"filter":["f"]})",
       "invalid length 1, expected a tuple of size 2"},
      {"filter of three elements", ReadBack<QueryDefinition>, R"({"filter":["f",[],1]})",
       "trailing characters"},
      {"checkpoint", ReadBack<ConsumerCheckpoint>, R"({"position":3,"consumer_id":"c"})",
       R"(={"consumer_id":"c","position":3})"},
      {"checkpoint array form", ReadBack<ConsumerCheckpoint>, R"(["c",3])",
       R"(={"consumer_id":"c","position":3})"},
      {"checkpoint without position", ReadBack<ConsumerCheckpoint>, R"({"consumer_id":"c"})",
       "missing field `position` at line 1 column 19"},
      {"negative position", ReadBack<ConsumerCheckpoint>, R"({"position":-1})",
       "invalid value: integer `-1`, expected u64"},
      {"cursor array too short", ReadBack<format::ProjectionCursor>, "[" + kZeroId + "]",
       "invalid length 1, expected struct ProjectionCursor with 4 elements"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THAT(c.read(c.text), StartsWith(c.outcome));
  }
}

}  // namespace
}  // namespace corvantine::projection
