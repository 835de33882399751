#include "projection/status.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvantine::projection {
namespace {

const std::string kZeros = "[0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]";

format::ProjectionCursor Cursor() {
  format::ProjectionCursor cursor;
  cursor.database_id = format::DatabaseId(format::IdBytes{1, 255});
  cursor.position = 7;
  return cursor;
}

TEST(StatusTest, DiagnosticTexts) {
  const std::string cursor =
      "ProjectionCursor { database_id: [1, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0], "
      "branch_id: " +
      kZeros + ", position: 7, descriptor_fingerprint: " + kZeros + " }";
  const ProjectionFailure failure{"read", "bad \"x\"\\\n\t\r\x01\x7f\xc2\x85\xc3\xa9/"};
  const std::string failure_text =
      R"(ProjectionFailure { code: "read", message: "bad \"x\"\\\n\t\r\u{1}\u{7f}\u{85}é/" })";
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {Cursor().DebugString(), cursor},
      {StaleReason::DescriptorChanged().DebugString(), "DescriptorChanged"},
      {StaleReason::BehindHead(9).DebugString(), "BehindHead { head: 9 }"},
      {failure.DebugString(), failure_text},
      {ProjectionFailure{std::string("\0", 1), ""}.DebugString(),
       R"(ProjectionFailure { code: "\0", message: "" })"},
      {ProjectionStatus::Building(Cursor()).DebugString(), "Building { cursor: " + cursor + " }"},
      {ProjectionStatus::Ready(Cursor()).DebugString(), "Ready { cursor: " + cursor + " }"},
      {ProjectionStatus::Stale(Cursor(), StaleReason::BehindHead(9)).DebugString(),
       "Stale { cursor: " + cursor + ", reason: BehindHead { head: 9 } }"},
      {ProjectionStatus::Failed(Cursor(), failure).DebugString(),
       "Failed { cursor: " + cursor + ", error: " + failure_text + " }"},
      {ProjectionStatus::Dropping().DebugString(), "Dropping"},
      {PartitionStatus::Cold(Cursor()).DebugString(), "Cold { cursor: " + cursor + " }"},
      {PartitionStatus::Stale(Cursor(), StaleReason::DescriptorChanged()).DebugString(),
       "Stale { cursor: " + cursor + ", reason: DescriptorChanged }"},
      {PartitionStatus::Failed(Cursor(), failure).DebugString(),
       "Failed { cursor: " + cursor + ", error: " + failure_text + " }"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, c.expected);
}

TEST(StatusTest, ColdPartitionsStartAtZeroForEachPartition) {
  ProjectionDescriptor descriptor;
  descriptor.scope.branch_id = format::BranchId(format::IdBytes{4});
  const format::DatabaseId database(format::IdBytes{8});
  const format::ProjectionCursor start{database, descriptor.scope.branch_id, 0,
                                       DescriptorFingerprint(descriptor)};
  EXPECT_EQ(CursorAt(database, descriptor, 0), start);

  for (const uint32_t count : {0u, 1u, 3u}) {
    descriptor.partition_scheme.partition_count = count;
    const std::vector<PartitionStatus> partitions = ColdPartitions(database, descriptor);
    ASSERT_EQ(partitions.size(), std::max(count, 1u));
    for (const PartitionStatus& partition : partitions) {
      EXPECT_EQ(partition, PartitionStatus::Cold(CursorAt(database, descriptor, 0)));
    }
  }
}

}  // namespace
}  // namespace corvantine::projection
