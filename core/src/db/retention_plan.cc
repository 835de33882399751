// Retention plans, policy previews and apply; see db/retention_plan.h and
// the retention section of db/db.h.
#include "db/retention_plan.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include <fmt/format.h>

#include "db/db.h"
#include "platform/platform.h"
#include "retention/crash.h"
#include "retention/retention.h"
#include "util/warning.h"

namespace corvantine::db {

namespace {

constexpr std::string_view kBlockerKinds[] = {
    "engine_anchor_unavailable", "branch_requires_bootstrap", "projection_requires_bootstrap",
    "consumer_requires_bootstrap", "maintenance_handles_open"};
static_assert(std::size(kBlockerKinds) == std::variant_size_v<RetentionBlocker>);

// A bootstrap matches when the first sound one naming `key` was registered
// for `floor`.
template <typename Bootstrap, typename Key>
bool FirstMatchHolds(const std::vector<Bootstrap>& bootstraps, Key Bootstrap::*field,
                     const auto& key, uint64_t floor) {
  const Bootstrap* sound = retention::FirstSoundBootstrap(bootstraps, field, key);
  return sound != nullptr && sound->floor == floor;
}

// The first position below `bound` of a record from `reader` at or after
// `cutoff`, else `bound`.
Result<uint64_t> EarliestAtOrAfter(log::reader::LogReader reader, int64_t cutoff, uint64_t bound) {
  uint64_t floor = bound;
  for (;;) {
    CVN_ASSIGN_OR_RETURN(const format::FrameView* frame, reader.NextView());
    if (frame == nullptr) return floor;
    if (frame->envelope.timestamp_unix_nanos >= cutoff) floor = std::min(floor, frame->position);
  }
}

}  // namespace

std::string_view BlockerKind(const RetentionBlocker& blocker) {
  return kBlockerKinds[blocker.index()];
}

bool HasMatchingBranchBootstrap(const VerifiedAnchor* anchor, const format::BranchId& branch,
                                uint64_t floor) {
  return anchor != nullptr &&
         FirstMatchHolds(anchor->branch_bootstraps, &retention::RetentionBranchBootstrap::branch_id,
                         branch, floor);
}

bool HasMatchingConsumerBootstrap(const VerifiedAnchor* anchor, std::string_view consumer_id,
                                  uint64_t floor) {
  return anchor != nullptr &&
         FirstMatchHolds(anchor->consumer_bootstraps,
                         &retention::RetentionConsumerBootstrap::consumer_id, consumer_id, floor);
}

void AppendProjectionBlockers(std::span<const ProjectionCoverageCheck> projections,
                              std::vector<RetentionBlocker>& blockers) {
  for (const ProjectionCoverageCheck& projection : projections) {
    if (!projection.covered) blockers.push_back(ProjectionRequiresBootstrap{projection.name});
  }
}

void AppendConsumerBlockers(const VerifiedAnchor* anchor, const ConsumerCheckpoints& checkpoints,
                            uint64_t floor, std::vector<RetentionBlocker>& blockers) {
  for (const auto& [consumer_id, position] : checkpoints) {
    if (position < floor && !HasMatchingConsumerBootstrap(anchor, consumer_id, floor)) {
      blockers.push_back(ConsumerRequiresBootstrap{position, consumer_id});
    }
  }
}

void AppendHandleBlocker(uint64_t readers, uint64_t feeds,
                         std::vector<RetentionBlocker>& blockers) {
  if (readers != 0 || feeds != 0) blockers.push_back(MaintenanceHandlesOpen{readers, feeds});
}

std::vector<RetentionConsumerStatus> ConsumerStatuses(const VerifiedAnchor* anchor,
                                                      const ConsumerCheckpoints& checkpoints,
                                                      uint64_t floor) {
  std::vector<RetentionConsumerStatus> statuses;
  for (const auto& [consumer_id, position] : checkpoints) {
    statuses.push_back({consumer_id, position, position < floor,
                        HasMatchingConsumerBootstrap(anchor, consumer_id, floor)});
  }
  return statuses;
}

uint64_t KeepLatestFloor(uint64_t durable_head, uint64_t current_floor, uint64_t keep) {
  const uint64_t retained = durable_head > current_floor ? durable_head - current_floor : 0;
  return std::max(durable_head - std::min(retained, keep), current_floor);
}

Result<RetentionPlan> Corvantine::PlanRetention(uint64_t requested) const {
  if (requested > durable_head_) return CorvantineError::OffsetBeyondHead(requested);
  const uint64_t current_floor = log_->retention_floor();
  if (requested < current_floor) {
    return CorvantineError::InvalidArgument(fmt::format(
        "retention floor cannot move backward from {} to {}", current_floor, requested));
  }
  log::RetentionBoundary boundary = log_->RetentionBoundaryFor(requested);
  RetentionPlan plan;
  plan.plan_id = format::GenerateIdBytes();
  plan.generation = log_->retention_generation();
  plan.requested_floor = requested;
  plan.effective_floor = boundary.effective_floor;
  plan.current_floor = current_floor;
  plan.durable_head = durable_head_;
  for (const auto& [base, bytes] : boundary.reclaimable) plan.reclaimable_bytes += bytes;
  plan.reclaimable_segments = std::move(boundary.reclaimable);
  plan.blockers = PlanBlockers(plan.effective_floor);
  return plan;
}

std::vector<RetentionBlocker> Corvantine::PlanBlockers(uint64_t floor) const {
  std::vector<RetentionBlocker> blockers;
  const VerifiedAnchor* anchor = verified_anchor_ ? &*verified_anchor_ : nullptr;
  if (anchor == nullptr || anchor->database_id != log_->database_id() || anchor->floor != floor ||
      anchor->head != durable_head_) {
    blockers.push_back(EngineAnchorUnavailable{});
  }
  for (const auto& [id, info] : branches_.branches()) {
    if (info.fork_position && *info.fork_position < floor &&
        !HasMatchingBranchBootstrap(anchor, id, floor)) {
      blockers.push_back(BranchRequiresBootstrap{*info.fork_position, info.name});
    }
  }
  return blockers;
}

Result<RetentionPolicyPreview> Corvantine::PreviewRetentionPolicy(RetentionPolicy policy,
                                                                  uint64_t value) const {
  RetentionPolicyPreview preview{policy, value, 0, true, {}, {}};
  const uint64_t head = durable_head_;
  const uint64_t current = log_->retention_floor();
  switch (policy) {
    case RetentionPolicy::kKeepFrom:
      preview.selected_floor = value;
      preview.explanation = fmt::format("selected explicit position {}", value);
      break;
    case RetentionPolicy::kKeepLatestEvents:
      preview.selected_floor = KeepLatestFloor(head, current, value);
      preview.explanation = fmt::format("selected position {} to keep the latest {} event(s)",
                                        preview.selected_floor, value);
      break;
    case RetentionPolicy::kKeepNewerThan: {
      const auto cutoff = static_cast<int64_t>(value);
      log::reader::ResolvedFilter filter;
      filter.from = current;
      filter.to = log_->head();
      CVN_ASSIGN_OR_RETURN(preview.selected_floor,
                           EarliestAtOrAfter(log_->PlanReader(filter), cutoff, head));
      preview.explanation =
          fmt::format("selected earliest event at or after unix-nanosecond cutoff {}", cutoff);
      break;
    }
    case RetentionPolicy::kTargetLogBytes: {
      CVN_ASSIGN_OR_RETURN(const log::FloorForBytes chosen, log_->RetentionFloorForBytes(value));
      preview.selected_floor = chosen.floor;
      preview.target_satisfied = chosen.fits;
      preview.explanation =
          fmt::format("selected position {} with {} retained segment byte(s) for target {}",
                      chosen.floor, chosen.retained_bytes, value);
      break;
    }
  }
  CVN_ASSIGN_OR_RETURN(preview.plan, PlanRetention(preview.selected_floor));
  return preview;
}

Result<RetentionApplyResult> Corvantine::ApplyRetentionPrevalidated(uint64_t floor, uint64_t head) {
  if (durable_head_ != head) {
    return CorvantineError::InvalidArgument("retention plan is stale because durable head changed");
  }
  if (!verified_anchor_) {
    return CorvantineError::InvalidArgument("retention plan has no verified anchor");
  }
  if (verified_anchor_->floor != floor || verified_anchor_->head != head) {
    return CorvantineError::InvalidArgument("retention plan anchor identity is stale");
  }
  // A floor inside a segment would leave a manifest the log refuses to open.
  if (log_->RetentionBoundaryFor(floor).effective_floor != floor) {
    return CorvantineError::InvalidArgument(
        fmt::format("retention floor {} is not a segment boundary", floor));
  }
  CVN_TRY(CheckAnchorFile());
  retention::CrashPoint(retention::kCrashBeforeManifestSwitch);
  // The manifest records the log head; what was appended since the last
  // commit must be durable before a manifest names it.
  if (log_->head() != durable_head_) CVN_TRY(MakeDurable());
  CVN_TRY(log_->ActivateRetention(floor, verified_anchor_->checksum));
  retention::CrashPoint(retention::kCrashAfterManifestSwitch);
  named_anchor_.reset();
  streams_.ForgetPositionsBelow(floor);
  RemovePreviousAnchor();
  const uint64_t reclaimed = log_->ReclaimBelowRetentionFloor();
  retention::CrashPoint(retention::kCrashAfterCleanup);
  return RetentionApplyResult{log_->retention_generation(), log_->retention_floor(), reclaimed};
}

Result<> Corvantine::CheckAnchorFile() const {
  CVN_ASSIGN_OR_RETURN(const retention::LoadedAnchor on_disk,
                       retention::Decode(retention::AnchorPath(directory_)));
  if (on_disk.info.checksum == verified_anchor_->checksum) return {};
  return retention::Corrupt("retention anchor file does not match the verified anchor");
}

// Once the manifest names the current anchor, the copy kept for the one it
// named before only misleads; it is removed, and its removal made durable.
// A failure leaves a file that no manifest names, so it only warns.
void Corvantine::RemovePreviousAnchor() const {
  const std::string previous = retention::PreviousAnchorPath(directory_);
  Result<> removed = platform::RemoveFile(previous);
  if (!removed.ok() && removed.error().IsOsError(ENOENT)) return;
  if (removed.ok()) {
    removed = retention::SyncDir(std::filesystem::path(previous).parent_path().string());
  }
  if (!removed.ok()) {
    util::Warn(
        fmt::format("cannot remove the previous retention anchor: {}", removed.error().ToString()));
  }
}

Result<retention::RetentionAnchorInfo> Corvantine::PublishRetentionAnchor(
    retention::CoreRetentionAnchor anchor) {
  if (log_->head() != durable_head_) {
    return CorvantineError::InvalidArgument(
        "retention anchor must be published at a committed head");
  }
  CVN_TRY(retention::ValidateIdentity(anchor, log_->database_id(), anchor.floor, durable_head_));
  CVN_ASSIGN_OR_RETURN(const retention::RetentionAnchorInfo info,
                       retention::Publish(directory_, anchor, log_->retention_anchor_checksum()));
  streams_ = std::move(anchor.stream_catalog);
  streams_.ForgetPositionsBelow(log_->retention_floor());
  branches_ = std::move(anchor.branch_catalog);
  KeepNamedAnchor(info.checksum);
  verified_anchor_ = VerifiedAnchor{info.database_id,
                                    info.floor,
                                    info.head,
                                    info.checksum,
                                    std::move(anchor.projection_coverage),
                                    std::move(anchor.branch_bootstraps),
                                    std::move(anchor.consumer_bootstraps),
                                    std::move(anchor.system_records)};
  return info;
}

// Bootstraps are served from the floor in force until the manifest moves:
// a consumer behind it must not lose its bootstrap to an anchor not yet
// applied, and a reopen finds the named anchor again.
void Corvantine::KeepNamedAnchor(uint32_t checksum) {
  const std::optional<uint32_t> named = log_->retention_anchor_checksum();
  if (!named || *named == checksum) {
    named_anchor_.reset();
  } else if (verified_anchor_ && verified_anchor_->checksum == *named) {
    named_anchor_ = std::move(verified_anchor_);
    named_anchor_->projection_coverage.clear();
    named_anchor_->system_records.clear();
  }
}

const VerifiedAnchor* Corvantine::anchor_in_force() const {
  if (named_anchor_) return &*named_anchor_;
  return verified_anchor_ ? &*verified_anchor_ : nullptr;
}

}  // namespace corvantine::db
