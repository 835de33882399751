// The registered queries (views) of one engine: the query map, the name map,
// and the automatic snapshot policy. The sequencer owns one and routes the
// query, projection and snapshot commands to it; it lives on the sequencer
// thread and takes no locks.
//
// A registration lives in the log as a "corvantine.projection.registered"
// system record, a removal as a "corvantine.projection.dropped" one; each is
// durable before the maps change, so a failed write leaves the query as it
// was. Derived state is never durable by itself: after an open, partitions
// start Cold and are healed from snapshots and the log when a query or a
// snapshot needs them.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/db.h"
#include "facade/engine/error.h"
#include "facade/engine/open_config.h"
#include "facade/view/commands.h"
#include "facade/view/projection_drive.h"
#include "facade/view/query.h"
#include "projection/records.h"
#include "retention/anchor.h"

namespace corvantine::facade {

class Projections {
 public:
  // `next_handle` is the engine's one handle counter, shared with readers
  // and feeds; `config` gives the automatic snapshot thresholds.
  Projections(db::Corvantine& db, uint64_t& next_handle, const OpenConfig& config);

  Projections(const Projections&) = delete;
  Projections& operator=(const Projections&) = delete;

  // At open: the registrations the log holds, the last one of each name
  // unless dropped after it, take handles in ascending name order. A
  // registration that cannot be read fails the open ("projection
  // descriptor: " and the reader's message, "internal"): a view never
  // vanishes silently. One whose partition count is above what registration
  // accepts opens Failed with registration's error and no partition; one of
  // count 0 opens over one partition.
  EngineResult<> Restore();

  // The commands, each answered by the method below that holds its rules.
  EngineResult<QueryHandle> Handle(command::RegisterQuery& command);
  EngineResult<QueryHandle> Handle(command::RegisterProjection& command);
  EngineResult<bool> Handle(command::RemoveQuery& command);
  EngineResult<QueryHandle> Handle(command::QueryNamed& command);
  EngineResult<QueryResult> Handle(command::QueryConsistent& command);
  EngineResult<QueryResult> Handle(command::QueryPartitions& command);
  EngineResult<ProjectionStatus> Handle(command::QueryStatus& command);
  EngineResult<std::vector<PartitionStatus>> Handle(command::PartitionStatuses& command);
  EngineResult<SnapshotInfo> Handle(command::CreateSnapshot& command);
  EngineResult<SnapshotInfo> Handle(command::CreatePartitionSnapshot& command);
  EngineResult<std::vector<SnapshotInfo>> Handle(command::ListSnapshots& command);
  EngineResult<SnapshotInfo> Handle(command::VerifySnapshot& command);
  EngineResult<bool> Handle(command::DeleteSnapshot& command);
  EngineResult<> Handle(command::DeleteAllDerivedState& command);
  EngineResult<> Handle(command::RebuildProjection& command);

  // A JSON index under `name`. "query key field is empty", then "partition
  // count must be between 1 and 4096" ("invalid_argument"), then a filter
  // value that is not JSON an event body may hold ("invalid_json", as an
  // append). The same name and
  // definition again returns the same handle and writes nothing (a Failed or
  // Stale query is reset and replayed); a changed one is written and starts
  // Cold under the same handle.
  EngineResult<QueryHandle> Register(std::string name, QueryDefinition definition,
                                     uint32_t partition_count);
  // A projection with a runtime of its own, which the log cannot rebuild:
  // after a reopen it is Stale until registered again.
  EngineResult<QueryHandle> RegisterRuntime(ProjectionDescriptor descriptor,
                                            std::unique_ptr<ProjectionRuntime> runtime);
  // False, writing nothing, for a name not registered.
  EngineResult<bool> Remove(const std::string& name);
  EngineResult<QueryHandle> Named(const std::string& name) const;

  // Heals every partition for `consistency`, then answers when the query is
  // ready for it: "projection status is {status}", "projection_not_ready".
  EngineResult<QueryResult> Query(QueryHandle handle, const QueryOperation& operation,
                                  QueryConsistency consistency);
  // Heals the listed partitions only; the answer covers the whole runtime.
  EngineResult<QueryResult> QueryPartitions(QueryHandle handle,
                                            const std::vector<uint32_t>& partitions,
                                            const QueryOperation& operation,
                                            QueryConsistency consistency);
  EngineResult<ProjectionStatus> Status(QueryHandle handle) const;
  EngineResult<std::vector<PartitionStatus>> PartitionStatuses(QueryHandle handle) const;

  // Snapshots, after healing to the durable head.
  EngineResult<SnapshotInfo> Snapshot(QueryHandle handle);
  EngineResult<SnapshotInfo> SnapshotPartition(QueryHandle handle, uint32_t partition);
  EngineResult<std::vector<SnapshotInfo>> ListSnapshots(QueryHandle handle) const;
  EngineResult<SnapshotInfo> VerifySnapshot(const std::string& id) const;
  // Once the floor is above 0, the snapshot that is the last usable one
  // (UsableSnapshots) of a registered query's partition is kept as well
  // ("conflict"): the query could not be restored without it.
  EngineResult<bool> DeleteSnapshot(const std::string& id) const;
  // Every snapshot; the queries keep their state. Once the floor is above
  // 0, the snapshots the retention anchor names hold the only copy of what
  // the views applied below it: deleting one of them, or all derived state,
  // is refused ("conflict").
  EngineResult<> DeleteAllDerivedState() const;
  // Deletes the query's snapshots and replays it from the whole log; a
  // query opened without partitions stays as it is. Once retention has
  // moved the floor above 0, the log no longer starts at 0: the newest
  // usable snapshot of each partition is kept and the query is restored
  // from it; a query with a partition that has none is refused
  // ("conflict"), with nothing deleted. A snapshot that cannot be deleted
  // is the error: a later heal would restore it.
  EngineResult<> Rebuild(QueryHandle handle);

  // Retention (projection_retention.cc). Whether the verified anchor covers
  // each query (db::Corvantine::HasRetentionProjectionCoverage), in name
  // order.
  // A snapshot file that cannot be read is the error.
  EngineResult<std::vector<db::ProjectionCoverageCheck>> CoverageChecks() const;
  // What an anchor made at the durable head covers: every query, in name
  // order, is healed to the durable head and snapshotted (the first failure
  // is the answer; the snapshots taken stay), then the newest snapshot of
  // each partition at the durable head is named. "projection {name} has
  // {n} of {count} required retention checkpoints"
  // ("projection_bootstrap_incomplete") when some partition has none.
  EngineResult<std::vector<retention::RetentionProjectionCoverage>> SnapshotForAnchor();

  // After a successful append of `events` events with `bytes` body bytes:
  // carries every Ready partition to the durable head, then takes the
  // automatic snapshots when due. A snapshot that fails is a warning: the
  // append stands.
  void AfterAppend(uint64_t events, uint64_t bytes);
  // Carries every Ready partition to the durable head.
  void DriveAll();

 private:
  using Clock = std::chrono::steady_clock;

  EngineResult<QueryState*> Find(QueryHandle handle);
  EngineResult<const QueryState*> Find(QueryHandle handle) const;
  EngineResult<QueryHandle> Reregister(QueryHandle handle, QueryState& state);
  // Replays a query just reset: from the whole log, or from its snapshots
  // and the log above them once retention has removed the log's start.
  EngineResult<> ReplayFromStart(QueryState& state);
  // The snapshot ids the verified anchor names while the floor is above 0.
  std::set<std::string> AnchoredSnapshotIds() const;
  EngineResult<> CheckNotLastUsable(const std::string& id) const;
  EngineResult<> RemoveAllButNewestUsable(const QueryState& state,
                                          const format::Fingerprint& fingerprint) const;
  std::vector<QueryHandle> HandlesByName() const;
  EngineResult<retention::RetentionProjectionCoverage> AnchorCoverage(QueryHandle handle);
  EngineResult<> WriteRegistration(const ProjectionDescriptor& descriptor,
                                   const std::optional<QueryDefinition>& definition);
  QueryHandle Install(QueryState state);
  QueryState Restored(const projection::DurableProjectionRegistration& registration) const;
  EngineResult<> HealAll(QueryState& state, QueryConsistency consistency);
  bool SnapshotDue() const;
  void TakeAutomaticSnapshots();

  db::Corvantine& db_;
  uint64_t& next_handle_;
  const std::string root_;
  std::unordered_map<QueryHandle, QueryState> queries_;
  std::unordered_map<std::string, QueryHandle> names_;

  // Automatic snapshots: thresholds (each at least 1) and what has been
  // appended since the last pass.
  std::optional<uint64_t> snapshot_every_events_;
  std::optional<uint64_t> snapshot_every_bytes_;
  std::optional<Clock::duration> snapshot_every_;
  uint64_t events_since_snapshot_ = 0;
  uint64_t bytes_since_snapshot_ = 0;
  Clock::time_point last_snapshot_ = Clock::now();
};

}  // namespace corvantine::facade
