#include "facade/view/projections.h"

#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <map>
#include <numeric>
#include <utility>

#include "facade/engine/records.h"
#include "facade/view/projection_records.h"
#include "projection/fingerprint.h"
#include "projection/json.h"
#include "projection/json_index.h"
#include "projection/records.h"
#include "util/utf8.h"
#include "util/warning.h"

namespace corvantine::facade {

namespace {

using projection::DurableProjectionRegistration;

EngineError NotReady(std::string message) {
  return EngineError(std::move(message), code::kProjectionNotReady);
}

bool ValidPartitionCount(uint32_t count) {
  return count >= 1 && count <= projection::kMaxPartitions;
}

EngineError Conflict(std::string message) {
  return EngineError(std::move(message), code::kConflict);
}

EngineError PartitionCountError() {
  return EngineError::Invalid("partition count must be between 1 and 4096");
}

projection::ProjectionFailure FailureOf(const EngineError& error) {
  return {std::string(error.code()), error.message()};
}

// A runtime of its own is not in the log: it is missing until the view is
// registered again.
std::unique_ptr<ProjectionRuntime> RestoredRuntime(
    const DurableProjectionRegistration& registration) {
  if (!registration.definition) return std::make_unique<projection::MissingRuntime>();
  return std::make_unique<projection::JsonIndexRuntime>(*registration.definition);
}

EngineError PartitionSetError() {
  return EngineError::Invalid("query partition set is empty or out of range");
}

std::vector<uint32_t> EveryPartition(const QueryState& state) {
  std::vector<uint32_t> partitions(state.partitions.size());
  std::iota(partitions.begin(), partitions.end(), 0);
  return partitions;
}

// Whether the healed status may answer for `consistency`.
bool ReadyFor(const ProjectionStatus& status, QueryConsistency consistency, uint64_t durable_head) {
  using Kind = ProjectionStatus::Kind;
  switch (consistency.kind) {
    case QueryConsistency::Kind::kDurableHead:
      return status.kind == Kind::kReady && status.cursor.position >= durable_head;
    case QueryConsistency::Kind::kAvailable:
      return status.kind != Kind::kDropping;
    case QueryConsistency::Kind::kAtLeast:
      return (status.kind == Kind::kBuilding || status.kind == Kind::kReady ||
              status.kind == Kind::kStale) &&
             status.cursor.position >= consistency.position;
  }
  return false;
}

bool PartitionReadyFor(const PartitionStatus& partition, QueryConsistency consistency,
                       uint64_t durable_head) {
  if (partition.kind == PartitionStatus::Kind::kStale ||
      partition.kind == PartitionStatus::Kind::kFailed) {
    return false;
  }
  switch (consistency.kind) {
    case QueryConsistency::Kind::kDurableHead:
      return partition.cursor.position >= durable_head;
    case QueryConsistency::Kind::kAvailable:
      return true;
    case QueryConsistency::Kind::kAtLeast:
      return partition.cursor.position >= consistency.position;
  }
  return false;
}

EngineResult<QueryResult> Answer(const QueryState& state, const QueryOperation& operation) {
  projection::ProjectionResult<QueryResult> answer = state.runtime->Query(operation);
  if (!answer.ok()) return ProjectionError(std::move(answer).error());
  return std::move(answer).value();
}

std::optional<std::chrono::steady_clock::duration> EveryMillis(std::optional<uint64_t> millis) {
  if (!millis) return std::nullopt;
  const uint64_t bounded = std::clamp<uint64_t>(*millis, 1, uint64_t{1} << 40);
  return std::chrono::milliseconds(bounded);
}

std::optional<uint64_t> AtLeastOne(std::optional<uint64_t> value) {
  if (!value) return std::nullopt;
  return std::max<uint64_t>(*value, 1);
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

}  // namespace

Projections::Projections(db::Corvantine& db, uint64_t& next_handle, const OpenConfig& config)
    : db_(db),
      next_handle_(next_handle),
      root_(config.path),
      snapshot_every_events_(AtLeastOne(config.snapshot_every_events)),
      snapshot_every_bytes_(AtLeastOne(config.snapshot_every_bytes)),
      snapshot_every_(EveryMillis(config.snapshot_every_millis)) {}

EngineResult<> Projections::Restore() {
  CVN_ASSIGN_OR_RETURN(std::vector<retention::AnchoredSystemRecord> records,
                       FromCore(db_.SystemMetadata()));
  std::map<std::string, DurableProjectionRegistration> registered;
  for (const retention::AnchoredSystemRecord& record : records) {
    if (record.event_type == projection::kProjectionRegisteredEventType) {
      util::json::Result<DurableProjectionRegistration> read =
          projection::FromJson<DurableProjectionRegistration>(record.payload);
      if (!read.ok()) return EngineError::Internal("projection descriptor: " + read.error().message);
      std::string name = read->descriptor.name;
      registered.insert_or_assign(std::move(name), std::move(read).value());
    } else if (record.event_type == projection::kProjectionDroppedEventType &&
               util::IsValidUtf8(record.payload)) {
      registered.erase(record.payload);
    }
  }
  for (const auto& [name, registration] : registered) Install(Restored(registration));
  return {};
}

// A count above the most registration accepts is in a record this engine
// did not write: the view opens Failed with registration's error, and
// nothing is allocated by that count.
QueryState Projections::Restored(const DurableProjectionRegistration& registration) const {
  const ProjectionDescriptor& descriptor = registration.descriptor;
  const format::ProjectionCursor start =
      projection::CursorAt(db_.database_id(), descriptor, 0);
  QueryState state{descriptor, registration.definition, ProjectionStatus::Building(start), {},
                   RestoredRuntime(registration)};
  if (descriptor.partition_scheme.partition_count > projection::kMaxPartitions) {
    state.status = ProjectionStatus::Failed(start, FailureOf(PartitionCountError()));
    return state;
  }
  state.partitions = projection::ColdPartitions(db_.database_id(), descriptor);
  if (!registration.definition) {
    state.status = ProjectionStatus::Stale(start, projection::StaleReason::DescriptorChanged());
  }
  return state;
}

// Under the name's handle when it has one, else under a new handle.
QueryHandle Projections::Install(QueryState state) {
  const auto [named, added] = names_.try_emplace(state.descriptor.name, next_handle_);
  if (added) ++next_handle_;
  queries_.insert_or_assign(named->second, std::move(state));
  return named->second;
}

EngineResult<QueryHandle> Projections::Register(std::string name, QueryDefinition definition,
                                                uint32_t partition_count) {
  if (definition.key_field.empty()) return EngineError::Invalid("query key field is empty");
  if (!ValidPartitionCount(partition_count)) return PartitionCountError();
  // A filter value an event body could not be would never let the view
  // become ready.
  if (definition.filter) CVN_TRY(CheckJsonValue(definition.filter->value));
  ProjectionDescriptor descriptor =
      projection::QueryDescriptor(std::move(name), definition, partition_count);
  if (const auto named = names_.find(descriptor.name); named != names_.end()) {
    CVN_ASSIGN_OR_RETURN(QueryState * state, Find(named->second));
    if (state->descriptor == descriptor) return Reregister(named->second, *state);
    state->status =
        ProjectionStatus::Stale(state->status.cursor, projection::StaleReason::DescriptorChanged());
  }
  CVN_TRY(WriteRegistration(descriptor, definition));
  auto runtime = std::make_unique<projection::JsonIndexRuntime>(definition);
  const format::ProjectionCursor start =
      projection::CursorAt(db_.database_id(), descriptor, 0);
  std::vector<PartitionStatus> partitions =
      projection::ColdPartitions(db_.database_id(), descriptor);
  return Install(QueryState{std::move(descriptor), std::move(definition),
                            ProjectionStatus::Building(start), std::move(partitions),
                            std::move(runtime)});
}

// The same registration again: a query that cannot be healed starts over.
EngineResult<QueryHandle> Projections::Reregister(QueryHandle handle, QueryState& state) {
  if (state.status.kind == ProjectionStatus::Kind::kStale ||
      state.status.kind == ProjectionStatus::Kind::kFailed) {
    CVN_TRY(ResetQuery(db_, state));
    CVN_TRY(ReplayFromStart(state));
  }
  return handle;
}

EngineResult<QueryHandle> Projections::RegisterRuntime(ProjectionDescriptor descriptor,
                                                       std::unique_ptr<ProjectionRuntime> runtime) {
  if (descriptor.name.empty()) return EngineError::Invalid("projection name is empty");
  if (!ValidPartitionCount(descriptor.partition_scheme.partition_count)) {
    return PartitionCountError();
  }
  projection::ProjectionResult<> reset = runtime->Reset();
  if (!reset.ok()) return ProjectionError(std::move(reset).error());
  CVN_TRY(WriteRegistration(descriptor, std::nullopt));
  const format::ProjectionCursor start =
      projection::CursorAt(db_.database_id(), descriptor, 0);
  std::vector<PartitionStatus> partitions =
      projection::ColdPartitions(db_.database_id(), descriptor);
  return Install(QueryState{std::move(descriptor), std::nullopt, ProjectionStatus::Building(start),
                            std::move(partitions), std::move(runtime)});
}

EngineResult<> Projections::WriteRegistration(const ProjectionDescriptor& descriptor,
                                              const std::optional<QueryDefinition>& definition) {
  const DurableProjectionRegistration registration{descriptor, definition};
  // One that could not be read back would stop the next open.
  if (!projection::HasUtf8Texts(registration)) {
    return EngineError::Invalid("projection registration texts must be valid UTF-8");
  }
  return AppendProjectionSystem(db_, projection::kProjectionRegisteredEventType,
                                projection::ToJson(registration));
}

EngineResult<bool> Projections::Remove(const std::string& name) {
  const auto named = names_.find(name);
  if (named == names_.end()) return false;
  CVN_TRY(AppendProjectionSystem(db_, projection::kProjectionDroppedEventType, name));
  queries_.erase(named->second);
  names_.erase(named);
  return true;
}

EngineResult<QueryHandle> Projections::Named(const std::string& name) const {
  const auto named = names_.find(name);
  if (named == names_.end()) return EngineError::HandleNotFound("query");
  return named->second;
}

EngineResult<QueryState*> Projections::Find(QueryHandle handle) {
  const auto found = queries_.find(handle);
  if (found == queries_.end()) return EngineError::HandleNotFound("query");
  return &found->second;
}

EngineResult<const QueryState*> Projections::Find(QueryHandle handle) const {
  const auto found = queries_.find(handle);
  if (found == queries_.end()) return EngineError::HandleNotFound("query");
  return &found->second;
}

EngineResult<> Projections::HealAll(QueryState& state, QueryConsistency consistency) {
  return HealPartitions(root_, db_, state, EveryPartition(state), consistency);
}

EngineResult<QueryResult> Projections::Query(QueryHandle handle, const QueryOperation& operation,
                                             QueryConsistency consistency) {
  CVN_ASSIGN_OR_RETURN(QueryState * state, Find(handle));
  CVN_TRY(HealAll(*state, consistency));
  if (!ReadyFor(state->status, consistency, db_.durable_head())) {
    return NotReady("projection status is " + state->status.DebugString());
  }
  return Answer(*state, operation);
}

EngineResult<QueryResult> Projections::QueryPartitions(QueryHandle handle,
                                                       const std::vector<uint32_t>& partitions,
                                                       const QueryOperation& operation,
                                                       QueryConsistency consistency) {
  CVN_ASSIGN_OR_RETURN(QueryState * state, Find(handle));
  const bool in_range = std::all_of(partitions.begin(), partitions.end(), [&](uint32_t index) {
    return index < state->partitions.size();
  });
  if (partitions.empty() || !in_range) return PartitionSetError();
  CVN_TRY(HealPartitions(root_, db_, *state, partitions, consistency));
  for (const uint32_t index : partitions) {
    if (!PartitionReadyFor(state->partitions[index], consistency, db_.durable_head())) {
      return NotReady("one or more requested partitions are not ready");
    }
  }
  return Answer(*state, operation);
}

EngineResult<ProjectionStatus> Projections::Status(QueryHandle handle) const {
  CVN_ASSIGN_OR_RETURN(const QueryState* state, Find(handle));
  return state->status;
}

EngineResult<std::vector<PartitionStatus>> Projections::PartitionStatuses(
    QueryHandle handle) const {
  CVN_ASSIGN_OR_RETURN(const QueryState* state, Find(handle));
  return state->partitions;
}

EngineResult<SnapshotInfo> Projections::Snapshot(QueryHandle handle) {
  CVN_ASSIGN_OR_RETURN(QueryState * state, Find(handle));
  CVN_TRY(HealAll(*state, QueryConsistency::DurableHead()));
  return CreateSnapshot(root_, db_, *state);
}

EngineResult<SnapshotInfo> Projections::SnapshotPartition(QueryHandle handle,
                                                          uint32_t partition) {
  CVN_ASSIGN_OR_RETURN(QueryState * state, Find(handle));
  if (partition >= state->partitions.size()) return PartitionSetError();
  CVN_TRY(HealPartitions(root_, db_, *state, {partition}, QueryConsistency::DurableHead()));
  return CreatePartitionSnapshot(root_, db_, *state, partition);
}

EngineResult<std::vector<SnapshotInfo>> Projections::ListSnapshots(QueryHandle handle) const {
  CVN_ASSIGN_OR_RETURN(const QueryState* state, Find(handle));
  return Converted(snapshot::List(root_, projection::DescriptorFingerprint(state->descriptor)));
}

EngineResult<SnapshotInfo> Projections::VerifySnapshot(const std::string& id) const {
  return Converted(snapshot::Verify(root_, id));
}

EngineResult<bool> Projections::DeleteSnapshot(const std::string& id) const {
  if (AnchoredSnapshotIds().contains(id)) {
    return Conflict(fmt::format(
        "snapshot {} is named by the retention anchor and holds view state below the retention "
        "floor {}",
        id, db_.retention_floor()));
  }
  CVN_TRY(CheckNotLastUsable(id));
  return Converted(snapshot::Delete(root_, id));
}

// Once the floor is above 0, a view's partition restores only from a
// snapshot at or above it: the last such snapshot is kept.
EngineResult<> Projections::CheckNotLastUsable(const std::string& id) const {
  const uint64_t floor = db_.retention_floor();
  if (floor == 0) return {};
  snapshot::SnapshotResult<SnapshotInfo> verified = snapshot::Verify(root_, id);
  if (!verified.ok() && verified.error().IsUnreadable()) return FromSnapshot(verified.error());
  if (!verified.ok()) return {};  // damaged or missing: restores nothing
  const snapshot::SnapshotManifest& manifest = verified->manifest;
  const uint32_t index = manifest.partition.value_or(0);
  for (const auto& [handle, state] : queries_) {
    if (projection::DescriptorFingerprint(state.descriptor) != manifest.descriptor_fingerprint ||
        index >= state.partitions.size()) {
      continue;
    }
    CVN_ASSIGN_OR_RETURN(const std::vector<SnapshotInfo> usable,
                         UsableSnapshots(root_, db_, state, index));
    if (usable.size() == 1 && usable.front().id == id) {
      return Conflict(fmt::format(
          "snapshot {} is the last one view \"{}\" can be restored from: the log below the "
          "retention floor {} is gone",
          id, state.descriptor.name, floor));
    }
  }
  return {};
}

EngineResult<> Projections::DeleteAllDerivedState() const {
  if (const uint64_t floor = db_.retention_floor(); floor > 0) {
    return Conflict(fmt::format(
        "derived state holds the only copy of view state below the retention floor {}", floor));
  }
  return Converted(snapshot::DeleteAll(root_));
}

EngineResult<> Projections::Rebuild(QueryHandle handle) {
  CVN_ASSIGN_OR_RETURN(QueryState * state, Find(handle));
  // Opened Failed over a partition count it cannot have: nothing to rebuild.
  if (state->partitions.empty()) return {};
  const format::Fingerprint fingerprint = projection::DescriptorFingerprint(state->descriptor);
  if (db_.retention_floor() == 0) {
    CVN_TRY(Converted(snapshot::DeleteProjection(root_, fingerprint)));
  } else {
    CVN_TRY(RemoveAllButNewestUsable(*state, fingerprint));
  }
  CVN_TRY(ResetQuery(db_, *state));
  return ReplayFromStart(*state);
}

// The newest usable snapshot of each partition is what the query is rebuilt
// from; without one for every partition it could not be rebuilt at all, so
// nothing is deleted then.
EngineResult<> Projections::RemoveAllButNewestUsable(const QueryState& state,
                                                     const format::Fingerprint& fingerprint) const {
  std::set<std::string> kept;
  for (uint32_t index = 0; index < state.partitions.size(); ++index) {
    CVN_ASSIGN_OR_RETURN(const std::vector<SnapshotInfo> usable,
                         UsableSnapshots(root_, db_, state, index));
    if (usable.empty()) {
      return Conflict(fmt::format(
          "view \"{}\" cannot be rebuilt: it has no usable snapshot at or above the retention "
          "floor {}, and the log below it is gone",
          state.descriptor.name, db_.retention_floor()));
    }
    kept.insert(usable.front().id);
  }
  CVN_ASSIGN_OR_RETURN(const std::vector<SnapshotInfo> listed,
                       Converted(snapshot::List(root_, fingerprint)));
  for (const SnapshotInfo& info : listed) {
    if (!kept.contains(info.id)) CVN_TRY(Converted(snapshot::Delete(root_, info.id)));
  }
  return {};
}

EngineResult<> Projections::ReplayFromStart(QueryState& state) {
  if (db_.retention_floor() == 0) {
    DriveProjection(db_, state);
    return {};
  }
  return HealAll(state, QueryConsistency::DurableHead());
}

std::set<std::string> Projections::AnchoredSnapshotIds() const {
  std::set<std::string> ids;
  const std::optional<db::VerifiedAnchor>& anchor = db_.verified_anchor();
  if (!anchor || db_.retention_floor() == 0) return ids;
  for (const retention::RetentionProjectionCoverage& entry : anchor->projection_coverage) {
    ids.insert(entry.snapshot_ids.begin(), entry.snapshot_ids.end());
  }
  return ids;
}

void Projections::AfterAppend(uint64_t events, uint64_t bytes) {
  DriveAll();
  events_since_snapshot_ = SaturatingAdd(events_since_snapshot_, events);
  bytes_since_snapshot_ = SaturatingAdd(bytes_since_snapshot_, bytes);
  if (SnapshotDue()) TakeAutomaticSnapshots();
}

// Only Ready partitions move: one nobody has read stays Cold, a failed one
// stays Failed.
void Projections::DriveAll() {
  for (auto& [handle, state] : queries_) {
    if (InStep(db_, state, QueryConsistency::DurableHead())) continue;
    std::vector<uint32_t> ready;
    for (uint32_t index = 0; index < state.partitions.size(); ++index) {
      if (state.partitions[index].kind == PartitionStatus::Kind::kReady) ready.push_back(index);
    }
    // Without a snapshot root a heal reads no snapshot, and cannot fail.
    if (!ready.empty()) {
      (void)HealPartitions(std::nullopt, db_, state, ready, QueryConsistency::DurableHead());
    }
  }
}

bool Projections::SnapshotDue() const {
  return (snapshot_every_events_ && events_since_snapshot_ >= *snapshot_every_events_) ||
         (snapshot_every_bytes_ && bytes_since_snapshot_ >= *snapshot_every_bytes_) ||
         (snapshot_every_ && Clock::now() - last_snapshot_ >= *snapshot_every_);
}

void Projections::TakeAutomaticSnapshots() {
  for (const auto& [handle, state] : queries_) {
    if (state.status.kind != ProjectionStatus::Kind::kReady) continue;
    EngineResult<SnapshotInfo> taken = CreateSnapshot(root_, db_, state);
    if (!taken.ok()) {
      util::Warn(fmt::format("automatic snapshot of view \"{}\" failed: {}", state.descriptor.name,
                             taken.error().ToString()));
    }
  }
  last_snapshot_ = Clock::now();
  events_since_snapshot_ = 0;
  bytes_since_snapshot_ = 0;
}

EngineResult<QueryHandle> Projections::Handle(command::RegisterQuery& command) {
  return Register(std::move(command.name), std::move(command.definition),
                  command.partition_count);
}

EngineResult<QueryHandle> Projections::Handle(command::RegisterProjection& command) {
  return RegisterRuntime(std::move(command.descriptor), std::move(command.runtime));
}

EngineResult<bool> Projections::Handle(command::RemoveQuery& command) {
  return Remove(command.name);
}

EngineResult<QueryHandle> Projections::Handle(command::QueryNamed& command) {
  return Named(command.name);
}

EngineResult<QueryResult> Projections::Handle(command::QueryConsistent& command) {
  return Query(command.query, command.operation, command.consistency);
}

EngineResult<QueryResult> Projections::Handle(command::QueryPartitions& command) {
  return QueryPartitions(command.query, command.partitions, command.operation,
                         command.consistency);
}

EngineResult<ProjectionStatus> Projections::Handle(command::QueryStatus& command) {
  return Status(command.query);
}

EngineResult<std::vector<PartitionStatus>> Projections::Handle(command::PartitionStatuses& command) {
  return PartitionStatuses(command.query);
}

EngineResult<SnapshotInfo> Projections::Handle(command::CreateSnapshot& command) {
  return Snapshot(command.query);
}

EngineResult<SnapshotInfo> Projections::Handle(command::CreatePartitionSnapshot& command) {
  return SnapshotPartition(command.query, command.partition);
}

EngineResult<std::vector<SnapshotInfo>> Projections::Handle(command::ListSnapshots& command) {
  return ListSnapshots(command.query);
}

EngineResult<SnapshotInfo> Projections::Handle(command::VerifySnapshot& command) {
  return VerifySnapshot(command.id);
}

EngineResult<bool> Projections::Handle(command::DeleteSnapshot& command) {
  return DeleteSnapshot(command.id);
}

EngineResult<> Projections::Handle(command::DeleteAllDerivedState&) {
  return DeleteAllDerivedState();
}

EngineResult<> Projections::Handle(command::RebuildProjection& command) {
  return Rebuild(command.query);
}

}  // namespace corvantine::facade
