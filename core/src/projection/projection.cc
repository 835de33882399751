#include "projection/projection.h"

namespace corvantine::projection {

namespace {

ProjectionFailure RuntimeMissing() {
  return {"runtime_missing", "native runtime must be re-registered"};
}

ProjectionFailure CheckpointUnsupported() {
  return {"checkpoint_unsupported", "runtime has no checkpoint codec"};
}

// Partition 0 of 1 is the whole state, which has no codec either.
ProjectionFailure PartitionUnsupported(uint32_t partition, uint32_t count) {
  if (partition == 0 && count == 1) return CheckpointUnsupported();
  return {"partition_unsupported", "runtime does not implement partition checkpoints"};
}

}  // namespace

ProjectionResult<> MissingRuntime::Reset() { return {}; }

ProjectionResult<> MissingRuntime::Apply(const RecordView&) { return RuntimeMissing(); }

ProjectionResult<QueryResult> MissingRuntime::Query(const QueryOperation&) const {
  return RuntimeMissing();
}

ProjectionResult<std::string> MissingRuntime::Checkpoint() const { return CheckpointUnsupported(); }

ProjectionResult<> MissingRuntime::RestoreCheckpoint(std::string_view, uint64_t) {
  return CheckpointUnsupported();
}

ProjectionResult<std::string> MissingRuntime::CheckpointPartition(uint32_t partition,
                                                                  uint32_t count) const {
  return PartitionUnsupported(partition, count);
}

ProjectionResult<> MissingRuntime::RestorePartition(uint32_t partition, uint32_t count,
                                                    std::string_view, uint64_t) {
  return PartitionUnsupported(partition, count);
}

}  // namespace corvantine::projection
