// The expected digests were computed apart from this code, by a few lines
// of Python over the same bytes.
#include "projection/fingerprint.h"

#include <functional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "branch/catalog.h"
#include "format/ids.h"
#include "format/test_util.h"
#include "projection/descriptor.h"
#include "projection/json.h"

namespace corvantine::projection {
namespace {

std::string Hex(const format::Fingerprint& digest) { return format::IdBytesToHex(digest); }

// name "v", all-zero ids, version 1, every event, JSON codec 1/1, default
// branch, no stream, the default scheme.
ProjectionDescriptor Plain() {
  ProjectionDescriptor descriptor;
  descriptor.name = "v";
  descriptor.definition_version = 1;
  descriptor.state_codec = 1;
  descriptor.state_codec_version = 1;
  return descriptor;
}

ProjectionDescriptor Rich() {
  ProjectionDescriptor descriptor;
  descriptor.name = "orders \"x\"\n";
  for (uint8_t i = 0; i < 16; ++i) descriptor.definition_id[i] = i;
  descriptor.definition_version = 7;
  descriptor.input_types = {{"a.b", 1, 3}, {"c", 0, 4294967295}};
  descriptor.state_codec = 1;
  descriptor.state_codec_version = 1;
  descriptor.scope = {format::BranchId(format::testing::FilledId(255)), "s/\xc3\xa9"};
  descriptor.partition_scheme.partition_count = 8;
  return descriptor;
}

TEST(FingerprintTest, DescriptorVectors) {
  EXPECT_EQ(ToJson(Plain()).size(), 296u);
  EXPECT_EQ(Hex(DescriptorFingerprint(Plain())), "48870fbb256c119bf65f9dc5c63c7667");
  EXPECT_EQ(ToJson(Rich()).size(), 489u);
  EXPECT_EQ(Hex(DescriptorFingerprint(Rich())), "1215d713dacf3c64f6a9e1211fe83579");
}

TEST(FingerprintTest, AnyChangeOfTheDescriptorChangesIt) {
  const std::function<void(ProjectionDescriptor&)> changes[] = {
      [](ProjectionDescriptor& d) { d.name += "x"; },
      [](ProjectionDescriptor& d) { d.definition_id[15] ^= 1; },
      [](ProjectionDescriptor& d) { ++d.definition_version; },
      [](ProjectionDescriptor& d) { std::swap(d.input_types[0], d.input_types[1]); },
      [](ProjectionDescriptor& d) { ++d.input_types[1].min_schema_version; },
      [](ProjectionDescriptor& d) { ++d.state_codec; },
      [](ProjectionDescriptor& d) { ++d.state_codec_version; },
      [](ProjectionDescriptor& d) { d.scope.stream.reset(); },
      [](ProjectionDescriptor& d) { d.scope.branch_id = format::BranchId(); },
      [](ProjectionDescriptor& d) { ++d.partition_scheme.version; },
      [](ProjectionDescriptor& d) { ++d.partition_scheme.partition_count; },
  };
  std::set<std::string> seen = {Hex(DescriptorFingerprint(Rich()))};
  for (const auto& change : changes) {
    ProjectionDescriptor changed = Rich();
    change(changed);
    EXPECT_TRUE(seen.insert(Hex(DescriptorFingerprint(changed))).second) << ToJson(changed);
  }
}

TEST(FingerprintTest, LineageVectors) {
  branch::BranchCatalog catalog;
  branch::BranchInfo child;
  child.id = format::BranchId(format::IdBytes{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  child.name = "child";
  child.parent = format::BranchId();
  child.fork_position = 5;
  ASSERT_TRUE(catalog.Insert(child).ok());

  // 16 zero bytes, then eight 0xff: the root has no fork position.
  EXPECT_EQ(Hex(LineageFingerprint(catalog, format::BranchId())),
            "7d994e429f65f348b43177789693d5c9");
  EXPECT_EQ(Hex(LineageFingerprint(catalog, child.id)), "c83573817f753c23de05f5b7f5cbceb3");
  // An unknown branch: the hash of empty input.
  EXPECT_EQ(Hex(LineageFingerprint(catalog, format::BranchId(format::IdBytes{9}))),
            "25232284e49cf2cbe49cf2cb25232284");
}

TEST(FingerprintTest, QueryDefinitionIdHashesTheNameThenTheDefinition) {
  QueryDefinition definition;
  definition.key_field = "id";
  definition.indexes = {{"by_state", "state"}};
  definition.filter = QueryFilter{"kind", "\"o\""};
  // Over: view{"key_field":"id","indexes":{"by_state":"state"},"filter":["kind",[34,111,34]]}
  EXPECT_EQ(format::IdBytesToHex(QueryDefinitionId("view", definition)),
            "aa8c41e1aa1c2aec8ea627c911197ef0");

  const ProjectionDescriptor descriptor = QueryDescriptor("view", definition, 4);
  ProjectionDescriptor expected;
  expected.name = "view";
  expected.definition_id = QueryDefinitionId("view", definition);
  expected.definition_version = 1;
  expected.state_codec = 1;
  expected.state_codec_version = 1;
  expected.partition_scheme = {"stream-id-modulo", 1, 4};
  EXPECT_EQ(descriptor, expected);
}

TEST(FingerprintTest, StreamPartitionReadsTheFirstEightBytesLittleEndian) {
  format::IdBytes id{};
  id[0] = 7;
  id[1] = 1;   // 263
  id[8] = 99;  // beyond the first eight bytes: ignored
  EXPECT_EQ(StreamPartition(format::StreamId(id), 1), 0u);
  EXPECT_EQ(StreamPartition(format::StreamId(id), 10), 3u);
  EXPECT_EQ(StreamPartition(format::StreamId(id), 4096), 263u);
}

}  // namespace
}  // namespace corvantine::projection
