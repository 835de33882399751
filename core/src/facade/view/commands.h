// The query, projection and snapshot commands (facade/view/projections.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "facade/engine/expects.h"
#include "facade/view/query.h"

namespace corvantine::facade::command {

struct RegisterQuery : Expects<QueryHandle> {
  std::string name;
  QueryDefinition definition;
  uint32_t partition_count = 1;
};
struct RegisterProjection : Expects<QueryHandle> {
  ProjectionDescriptor descriptor;
  std::unique_ptr<ProjectionRuntime> runtime;
};
struct RemoveQuery : Expects<bool> {
  std::string name;
};
struct QueryNamed : Expects<QueryHandle> {
  std::string name;
};
struct QueryConsistent : Expects<QueryResult> {
  QueryHandle query = 0;
  QueryOperation operation;
  QueryConsistency consistency;
};
struct QueryPartitions : Expects<QueryResult> {
  QueryHandle query = 0;
  std::vector<uint32_t> partitions;
  QueryOperation operation;
  QueryConsistency consistency;
};
struct QueryStatus : Expects<ProjectionStatus> {
  QueryHandle query = 0;
};
struct PartitionStatuses : Expects<std::vector<PartitionStatus>> {
  QueryHandle query = 0;
};
struct CreateSnapshot : Expects<SnapshotInfo> {
  QueryHandle query = 0;
};
struct CreatePartitionSnapshot : Expects<SnapshotInfo> {
  QueryHandle query = 0;
  uint32_t partition = 0;
};
struct ListSnapshots : Expects<std::vector<SnapshotInfo>> {
  QueryHandle query = 0;
};
struct VerifySnapshot : Expects<SnapshotInfo> {
  std::string id;
};
struct DeleteSnapshot : Expects<bool> {
  std::string id;
};
struct DeleteAllDerivedState : Expects<void> {};
struct RebuildProjection : Expects<void> {
  QueryHandle query = 0;
};

}  // namespace corvantine::facade::command
