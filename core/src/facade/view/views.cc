// The query, projection and snapshot commands: each is handed to the
// registered queries (facade/projections.h).
#include <utility>

#include "facade/engine/sequencer.h"

namespace corvantine::facade {

EngineResult<QueryHandle> Sequencer::Handle(command::RegisterQuery& command) {
  return projections_.Register(std::move(command.name), std::move(command.definition),
                               command.partition_count);
}

EngineResult<QueryHandle> Sequencer::Handle(command::RegisterProjection& command) {
  return projections_.RegisterRuntime(std::move(command.descriptor), std::move(command.runtime));
}

EngineResult<bool> Sequencer::Handle(command::RemoveQuery& command) {
  return projections_.Remove(command.name);
}

EngineResult<QueryHandle> Sequencer::Handle(command::QueryNamed& command) {
  return projections_.Named(command.name);
}

EngineResult<QueryResult> Sequencer::Handle(command::QueryConsistent& command) {
  return projections_.Query(command.query, command.operation, command.consistency);
}

EngineResult<QueryResult> Sequencer::Handle(command::QueryPartitions& command) {
  return projections_.QueryPartitions(command.query, command.partitions, command.operation,
                                      command.consistency);
}

EngineResult<ProjectionStatus> Sequencer::Handle(command::QueryStatus& command) {
  return projections_.Status(command.query);
}

EngineResult<std::vector<PartitionStatus>> Sequencer::Handle(command::PartitionStatuses& command) {
  return projections_.PartitionStatuses(command.query);
}

EngineResult<SnapshotInfo> Sequencer::Handle(command::CreateSnapshot& command) {
  return projections_.Snapshot(command.query);
}

EngineResult<SnapshotInfo> Sequencer::Handle(command::CreatePartitionSnapshot& command) {
  return projections_.SnapshotPartition(command.query, command.partition);
}

EngineResult<std::vector<SnapshotInfo>> Sequencer::Handle(command::ListSnapshots& command) {
  return projections_.ListSnapshots(command.query);
}

EngineResult<SnapshotInfo> Sequencer::Handle(command::VerifySnapshot& command) {
  return projections_.VerifySnapshot(command.id);
}

EngineResult<bool> Sequencer::Handle(command::DeleteSnapshot& command) {
  return projections_.DeleteSnapshot(command.id);
}

EngineResult<> Sequencer::Handle(command::DeleteAllDerivedState&) {
  return projections_.DeleteAllDerivedState();
}

EngineResult<> Sequencer::Handle(command::RebuildProjection& command) {
  return projections_.Rebuild(command.query);
}

}  // namespace corvantine::facade
