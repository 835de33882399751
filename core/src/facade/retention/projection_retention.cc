// What retention asks of the registered queries: whether the anchor covers
// them, and the snapshots a new anchor covers them with.
#include <algorithm>
#include <map>
#include <utility>

#include <fmt/format.h>

#include "facade/view/projections.h"
#include "projection/fingerprint.h"

namespace corvantine::facade {

namespace {

uint32_t PartitionCount(const QueryState& state) {
  return static_cast<uint32_t>(state.partitions.size());
}

// Per partition index, the first (newest) listed snapshot taken at `head`
// on the query's branch for its partition count.
std::map<uint32_t, std::string> SnapshotsAt(const std::vector<SnapshotInfo>& listed,
                                            const QueryState& state, uint64_t head) {
  std::map<uint32_t, std::string> chosen;
  for (const SnapshotInfo& info : listed) {
    const snapshot::SnapshotManifest& manifest = info.manifest;
    if (manifest.cursor.position == head &&
        manifest.branch_id == state.descriptor.scope.branch_id &&
        manifest.partition_count.value_or(1) == PartitionCount(state) &&
        manifest.partition.value_or(0) < PartitionCount(state)) {
      chosen.try_emplace(manifest.partition.value_or(0), info.id);
    }
  }
  return chosen;
}

}  // namespace

std::vector<QueryHandle> Projections::HandlesByName() const {
  const std::map<std::string_view, QueryHandle> sorted(names_.begin(), names_.end());
  std::vector<QueryHandle> handles;
  for (const auto& [name, handle] : sorted) handles.push_back(handle);
  return handles;
}

EngineResult<std::vector<db::ProjectionCoverageCheck>> Projections::CoverageChecks() const {
  std::vector<db::ProjectionCoverageCheck> checks;
  for (const QueryHandle handle : HandlesByName()) {
    const QueryState& state = queries_.at(handle);
    const ProjectionDescriptor& descriptor = state.descriptor;
    CVN_ASSIGN_OR_RETURN(const bool covered,
                         Converted(db_.HasRetentionProjectionCoverage(
                             descriptor.name, projection::DescriptorFingerprint(descriptor),
                             descriptor.scope.branch_id, PartitionCount(state))));
    checks.push_back({descriptor.name, covered});
  }
  return checks;
}

EngineResult<std::vector<retention::RetentionProjectionCoverage>>
Projections::SnapshotForAnchor() {
  std::vector<retention::RetentionProjectionCoverage> coverage;
  for (const QueryHandle handle : HandlesByName()) {
    CVN_ASSIGN_OR_RETURN(retention::RetentionProjectionCoverage entry, AnchorCoverage(handle));
    coverage.push_back(std::move(entry));
  }
  return coverage;
}

// Snapshot heals the query to the durable head first, so that its cursor,
// its snapshots and the anchor's head agree.
EngineResult<retention::RetentionProjectionCoverage> Projections::AnchorCoverage(
    QueryHandle handle) {
  CVN_TRY(Snapshot(handle));
  const QueryState& state = queries_.at(handle);
  const uint64_t head = db_.durable_head();
  const format::Fingerprint fingerprint = projection::DescriptorFingerprint(state.descriptor);
  CVN_ASSIGN_OR_RETURN(const std::vector<SnapshotInfo> listed,
                       Converted(snapshot::List(root_, fingerprint)));
  const std::map<uint32_t, std::string> chosen = SnapshotsAt(listed, state, head);
  if (chosen.size() < PartitionCount(state)) {
    return EngineError(fmt::format("projection {} has {} of {} required retention checkpoints",
                                   state.descriptor.name, chosen.size(), PartitionCount(state)),
                       code::kProjectionBootstrapIncomplete);
  }
  retention::RetentionProjectionCoverage entry{state.descriptor.name, fingerprint,
                                               state.descriptor.scope.branch_id, head, {}};
  for (auto& [partition, id] : chosen) entry.snapshot_ids.push_back(id);
  return entry;
}

}  // namespace corvantine::facade
