// Creating the retention anchor, and what the engine looks up in the
// verified one; see the retention section of db/db.h.
#include <algorithm>
#include <set>
#include <utility>

#include "db/db.h"
#include "retention/system_records.h"
#include "snapshot/snapshot.h"

namespace corvantine::db {

namespace {

// The checkpoint of the first sound bootstrap naming `key`.
template <typename Bootstrap, typename Key>
std::optional<std::string> SoundCheckpoint(const std::vector<Bootstrap>& bootstraps,
                                           Key Bootstrap::*field, const auto& key) {
  const Bootstrap* sound = retention::FirstSoundBootstrap(bootstraps, field, key);
  if (sound == nullptr) return std::nullopt;
  return sound->checkpoint;
}

// Whether one snapshot id of a coverage entry verifies as the entry's, and
// names a partition not seen before. A file that cannot be read is the
// error: it may be sound.
snapshot::SnapshotResult<bool> SnapshotCovers(const std::string& root, const std::string& id,
                                              const retention::RetentionProjectionCoverage& entry,
                                              uint32_t partitions, std::set<uint32_t>& seen) {
  snapshot::SnapshotResult<snapshot::SnapshotInfo> verified = snapshot::Verify(root, id);
  if (!verified.ok() && verified.error().IsUnreadable()) return std::move(verified).error();
  if (!verified.ok()) return false;
  const snapshot::SnapshotManifest& manifest = verified->manifest;
  return manifest.projection_name == entry.name &&
         manifest.descriptor_fingerprint == entry.descriptor_fingerprint &&
         manifest.branch_id == entry.branch_id && manifest.cursor.position == entry.cursor &&
         manifest.partition_count.value_or(1) == partitions &&
         seen.insert(manifest.partition.value_or(0)).second;
}

}  // namespace

Result<retention::RetentionAnchorInfo> Corvantine::CreateRetentionAnchorWithAllCoverage(
    uint64_t keep_from, std::vector<retention::RetentionProjectionCoverage> coverage,
    std::vector<retention::RetentionBranchBootstrap> branch_bootstraps,
    std::vector<retention::RetentionConsumerBootstrap> consumer_bootstraps) {
  CVN_TRY(MakeDurable());
  // An anchor is made over a catalog checkpoint at its head; one that cannot
  // be written fails it, where a commit would only warn.
  CVN_TRY(WriteCheckpoint());
  CVN_ASSIGN_OR_RETURN(const RetentionPlan plan, PlanRetention(keep_from));
  retention::CoreRetentionAnchor anchor;
  anchor.database_id = log_->database_id();
  anchor.floor = plan.effective_floor;
  anchor.head = durable_head_;
  // The catalogs hold what the log alone no longer does once an earlier
  // anchor was applied.
  anchor.stream_catalog = streams_;
  anchor.branch_catalog = branches_;
  anchor.projection_coverage = std::move(coverage);
  anchor.branch_bootstraps = std::move(branch_bootstraps);
  anchor.consumer_bootstraps = std::move(consumer_bootstraps);
  CVN_ASSIGN_OR_RETURN(anchor.system_records, AnchoredSystemRecords());
  return PublishRetentionAnchor(std::move(anchor));
}

// The current anchor holds the system records of the history below its
// floor; the log holds those from the floor on, in order, some of them
// again. The latest per key is the same whatever the overlap.
Result<std::vector<retention::AnchoredSystemRecord>> Corvantine::AnchoredSystemRecords() const {
  CVN_ASSIGN_OR_RETURN(std::vector<retention::AnchoredSystemRecord> records, SystemMetadata());
  return retention::LatestPerKey(std::move(records));
}

snapshot::SnapshotResult<bool> Corvantine::HasRetentionProjectionCoverage(
    std::string_view name, const format::IdBytes& fingerprint, const format::BranchId& branch,
    uint32_t partitions) const {
  if (!verified_anchor_) return false;
  for (const retention::RetentionProjectionCoverage& entry :
       verified_anchor_->projection_coverage) {
    if (entry.name != name || entry.descriptor_fingerprint != fingerprint ||
        entry.branch_id != branch) {
      continue;
    }
    CVN_ASSIGN_OR_RETURN(const bool holds, CoverageHolds(entry, partitions));
    if (holds) return true;
  }
  return false;
}

// Proved afresh by the snapshot files present now.
snapshot::SnapshotResult<bool> Corvantine::CoverageHolds(
    const retention::RetentionProjectionCoverage& entry, uint32_t partitions) const {
  if (entry.cursor != verified_anchor_->head || entry.snapshot_ids.size() != partitions) {
    return false;
  }
  std::set<uint32_t> seen;
  for (const std::string& id : entry.snapshot_ids) {
    CVN_ASSIGN_OR_RETURN(const bool covers, SnapshotCovers(directory_, id, entry, partitions, seen));
    if (!covers) return false;
  }
  return true;
}

std::optional<std::string> Corvantine::RetentionConsumerBootstrap(
    std::string_view consumer_id) const {
  const VerifiedAnchor* anchor = anchor_in_force();
  if (anchor == nullptr) return std::nullopt;
  return SoundCheckpoint(anchor->consumer_bootstraps,
                         &retention::RetentionConsumerBootstrap::consumer_id, consumer_id);
}

std::optional<std::string> Corvantine::RetentionBranchBootstrap(
    const format::BranchId& branch) const {
  const VerifiedAnchor* anchor = anchor_in_force();
  if (anchor == nullptr) return std::nullopt;
  return SoundCheckpoint(anchor->branch_bootstraps,
                         &retention::RetentionBranchBootstrap::branch_id, branch);
}

}  // namespace corvantine::db
