// How the engine thread keeps registered queries in step with the durable
// log: replaying a whole projection, healing chosen partitions (from a
// snapshot first when it may), carrying Ready partitions forward after an
// append, and writing snapshots of a projection's state. Every target is at
// most the durable head: a projection never holds an event that a crash can
// still take back.
//
// Replay failures are not returned: they are recorded in the statuses, as
// Failed with the failure's code and message ("read" for a record that
// cannot be read, "decode" for a body that is not an engine event, the
// runtime's own, or "panic" "projection panicked" for a runtime that
// throws). A Failed or Stale partition is left alone by every heal; a reset
// (rebuild, re-registration) or a reopen makes it Cold again.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "db/db.h"
#include "facade/engine/error.h"
#include "facade/view/query.h"

namespace corvantine::facade {

// Everything the engine keeps about one registered query.
struct QueryState {
  ProjectionDescriptor descriptor;
  std::optional<QueryDefinition> definition;  // absent: a runtime of its own
  ProjectionStatus status;
  // max(partition count, 1); none for a query opened Failed over a count
  // that registration refuses (Projections::Restore).
  std::vector<PartitionStatus> partitions;
  std::unique_ptr<ProjectionRuntime> runtime;
};

// The snapshot error under its own code and kind.
EngineError FromSnapshot(const snapshot::SnapshotError& error);

// A snapshot result with its error turned by FromSnapshot.
template <typename T>
EngineResult<T> Converted(snapshot::SnapshotResult<T> result) {
  if (!result.ok()) return FromSnapshot(result.error());
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(result).value();
  }
}

// "{code}: {message}", code "projection", kind 10.
EngineError ProjectionError(projection::ProjectionFailure failure);

// Resets the runtime (a failure is ProjectionError) and makes every
// partition Cold at position 0 and the status Building at 0: a drive that
// fails half-way can never leave the query Ready with documents missing.
EngineResult<> ResetQuery(const db::Corvantine& db, QueryState& state);

// Replays the whole log from the status's cursor to the durable head. On
// success the status and every partition are Ready at the durable head.
void DriveProjection(const db::Corvantine& db, QueryState& state);

// Whether a heal for `consistency` would change nothing: the status is
// Ready, so every partition is, at the lowest partition cursor, and that
// cursor has reached the heal's target. A query in step with the log costs
// no more than this test.
bool InStep(const db::Corvantine& db, const QueryState& state, QueryConsistency consistency);

// Brings the listed partitions (each below the partition count) to the
// durable head, or to min(durable head, position) for AtLeast, then
// recomputes the status from all partitions; with none listed, nothing
// changes. A Cold partition is first restored from the newest of its
// UsableSnapshots below `snapshot_root` when one is given. A snapshot that
// cannot be read (listing the directory or reading a file) stops the heal
// with that Io error and leaves the partition Cold, so that the next heal
// tries again; without a root, it never fails.
EngineResult<> HealPartitions(std::optional<std::string_view> snapshot_root,
                              const db::Corvantine& db, QueryState& state,
                              const std::vector<uint32_t>& partitions,
                              QueryConsistency consistency);

// The snapshots a heal may restore partition `index` from, newest first:
// those that fit the query's descriptor, branch and partition, stand at or
// below the durable head and at or above the retention floor, and decode
// whole.
EngineResult<std::vector<SnapshotInfo>> UsableSnapshots(std::string_view root,
                                                        const db::Corvantine& db,
                                                        const QueryState& state, uint32_t index);

// The status from the partitions: the first Failed one, else the first
// Stale one, else Ready when all are Ready (Building otherwise) at the
// lowest partition cursor.
ProjectionStatus AggregateStatus(const std::vector<PartitionStatus>& partitions);

// Writes the state of a Ready query as one snapshot, or one per partition
// for two partitions or more, returning the last one written.
EngineResult<SnapshotInfo> CreateSnapshot(std::string_view root, const db::Corvantine& db,
                                          const QueryState& state);

// Writes the state of one Ready partition as a partition snapshot.
EngineResult<SnapshotInfo> CreatePartitionSnapshot(std::string_view root,
                                                   const db::Corvantine& db,
                                                   const QueryState& state, uint32_t partition);

}  // namespace corvantine::facade
