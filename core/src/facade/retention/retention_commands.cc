#include "facade/retention/retention_commands.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "facade/retention/feed_bootstrap.h"
#include "util/crc32c.h"

namespace corvantine::facade {

namespace {

const db::VerifiedAnchor* AnchorOf(const db::Corvantine& db) {
  const std::optional<db::VerifiedAnchor>& anchor = db.verified_anchor();
  return anchor ? &*anchor : nullptr;
}

bool AnchorReady(const std::vector<RetentionBlocker>& blockers) {
  return std::none_of(blockers.begin(), blockers.end(), [](const RetentionBlocker& blocker) {
    return std::holds_alternative<db::EngineAnchorUnavailable>(blocker);
  });
}

RetentionCleanup CleanupOf(const db::Corvantine& db) {
  RetentionCleanup cleanup;
  cleanup.pending_segments = db.UnreclaimedSegments();
  cleanup.complete = cleanup.pending_segments.empty();
  for (const auto& [base, bytes] : cleanup.pending_segments) cleanup.pending_bytes += bytes;
  return cleanup;
}

EngineResult<> CheckBootstrapBytes(const std::string& checkpoint) {
  if (checkpoint.size() > kMaxRetentionBootstrapBytes) {
    return EngineError::LimitExceeded("retention bootstrap bytes", checkpoint.size(),
                                      kMaxRetentionBootstrapBytes);
  }
  return {};
}

// The checks of a consumer bootstrap registration, in order.
EngineResult<> CheckConsumerBootstrap(const command::RegisterConsumerBootstrap& command) {
  if (command.consumer_id.empty() ||
      command.consumer_id.size() > kMaxBootstrapConsumerIdBytes) {
    return EngineError::Invalid("consumer id must contain 1..=256 bytes");
  }
  CVN_TRY(CheckBootstrapBytes(command.checkpoint));
  if (command.codec.empty() || command.codec.size() > kMaxBootstrapCodecBytes) {
    return EngineError::Invalid("bootstrap codec must contain 1..=128 bytes");
  }
  return {};
}

}  // namespace

EngineResult<> Retention::AddEngineBlockers(RetentionPlan& plan) const {
  CVN_ASSIGN_OR_RETURN(const std::vector<db::ProjectionCoverageCheck> coverage,
                       projections_.CoverageChecks());
  db::AppendProjectionBlockers(coverage, plan.blockers);
  db::AppendConsumerBlockers(AnchorOf(db_), feeds_.Checkpoints(), plan.effective_floor,
                             plan.blockers);
  db::AppendHandleBlocker(readers_.open_count(), feeds_.open_count(), plan.blockers);
  return {};
}

EngineResult<RetentionPlan> Retention::PlanWithBlockers(uint64_t keep_from) const {
  CVN_ASSIGN_OR_RETURN(RetentionPlan plan, FromCore(db_.PlanRetention(keep_from)));
  CVN_TRY(AddEngineBlockers(plan));
  return plan;
}

EngineResult<uint64_t> Retention::EffectiveFloor(uint64_t keep_from) const {
  CVN_ASSIGN_OR_RETURN(const RetentionPlan plan, FromCore(db_.PlanRetention(keep_from)));
  return plan.effective_floor;
}

EngineResult<RetentionStatusDto> Retention::Handle(command::RetentionStatus& command) {
  CVN_ASSIGN_OR_RETURN(RetentionPlan plan,
                       PlanWithBlockers(command.keep_from.value_or(db_.durable_head())));
  RetentionStatusDto status;
  status.database_id = db_.database_id();
  status.generation = plan.generation;
  status.floor = plan.current_floor;
  status.durable_head = plan.durable_head;
  status.requested_floor = plan.requested_floor;
  status.effective_floor = plan.effective_floor;
  status.anchor_ready = AnchorReady(plan.blockers);
  status.reclaimable_bytes = plan.reclaimable_bytes;
  status.reclaimable_segments = std::move(plan.reclaimable_segments);
  status.blockers = std::move(plan.blockers);
  status.open_readers = readers_.open_count();
  status.open_feeds = feeds_.open_count();
  status.consumers =
      db::ConsumerStatuses(AnchorOf(db_), feeds_.Checkpoints(), plan.effective_floor);
  status.cleanup = CleanupOf(db_);
  return status;
}

EngineResult<RetentionPlan> Retention::Handle(command::PlanRetention& command) {
  CVN_ASSIGN_OR_RETURN(RetentionPlan plan, PlanWithBlockers(command.keep_from));
  retention_.KeepPlan(plan);
  return plan;
}

EngineResult<RetentionPolicyPreview> Retention::Handle(command::PlanRetentionPolicy& command) {
  CVN_ASSIGN_OR_RETURN(RetentionPolicyPreview preview,
                       FromCore(db_.PreviewRetentionPolicy(command.policy, command.value)));
  CVN_TRY(AddEngineBlockers(preview.plan));
  retention_.KeepPlan(preview.plan);
  return preview;
}

// Applies only a plan that, made again now, is equal to the one handed out:
// anything that changed since (a commit, a blocker, a segment, an earlier
// apply) makes it stale. A plan that is refused stays kept.
EngineResult<RetentionApplyResult> Retention::Handle(command::ApplyRetention& command) {
  CVN_ASSIGN_OR_RETURN(const RetentionPlan* stored, retention_.FindPlan(command.plan_id));
  CVN_ASSIGN_OR_RETURN(RetentionPlan remade, PlanWithBlockers(stored->requested_floor));
  remade.plan_id = stored->plan_id;
  CVN_TRY(CheckPlanStillHolds(*stored, remade));
  CVN_ASSIGN_OR_RETURN(
      const RetentionApplyResult applied,
      FromCore(db_.ApplyRetentionPrevalidated(remade.effective_floor, remade.durable_head)));
  retention_.ForgetPlan(command.plan_id);
  return applied;
}

// Commits first, then snapshots every query at the durable head (healing it
// there), so that the anchor's head, the queries' cursors and the snapshots
// it names agree.
EngineResult<RetentionAnchorInfo> Retention::Handle(command::CreateRetentionAnchor& command) {
  if (readers_.open_count() != 0 || feeds_.open_count() != 0) {
    return EngineError(
        fmt::format("cannot create retention anchor with {} reader(s) and {} feed(s) open",
                    readers_.open_count(), feeds_.open_count()),
        code::kMaintenanceHandlesOpen);
  }
  CVN_TRY(FromCore(db_.Commit()));
  CVN_ASSIGN_OR_RETURN(const uint64_t floor, EffectiveFloor(command.keep_from));
  CVN_ASSIGN_OR_RETURN(std::vector<retention::RetentionProjectionCoverage> coverage,
                       projections_.SnapshotForAnchor());
  return FromCore(db_.CreateRetentionAnchorWithAllCoverage(
      command.keep_from, std::move(coverage), retention_.BranchBootstrapsAt(floor),
      retention_.ConsumerBootstrapsAt(floor)));
}

EngineResult<uint64_t> Retention::Handle(command::RegisterBranchBootstrap& command) {
  CVN_TRY(CheckBootstrapBytes(command.checkpoint));
  if (db_.branch_catalog().Find(command.branch) == nullptr) {
    return EngineError::Invalid("unknown branch for retention bootstrap");
  }
  CVN_ASSIGN_OR_RETURN(const uint64_t floor, EffectiveFloor(command.keep_from));
  retention::RetentionBranchBootstrap bootstrap;
  bootstrap.branch_id = command.branch;
  bootstrap.floor = floor;
  bootstrap.checksum = util::crc32c::Value(command.checkpoint);
  bootstrap.checkpoint = std::move(command.checkpoint);
  CVN_TRY(retention_.Register(db_, std::move(bootstrap)));
  return floor;
}

EngineResult<uint64_t> Retention::Handle(command::RegisterConsumerBootstrap& command) {
  CVN_TRY(CheckConsumerBootstrap(command));
  CVN_ASSIGN_OR_RETURN(const uint64_t floor, EffectiveFloor(command.keep_from));
  retention::RetentionConsumerBootstrap bootstrap;
  bootstrap.consumer_id = std::move(command.consumer_id);
  bootstrap.floor = floor;
  bootstrap.checksum = util::crc32c::Value(command.checkpoint);
  bootstrap.checkpoint = std::move(command.checkpoint);
  bootstrap.checkpoint_id = format::GenerateIdBytes();
  bootstrap.scope = std::move(command.scope);
  bootstrap.codec = std::move(command.codec);
  bootstrap.codec_version = command.codec_version;
  CVN_TRY(retention_.Register(db_, std::move(bootstrap)));
  return floor;
}

EngineResult<uint64_t> Retention::Handle(command::RetentionFloor&) {
  return db_.retention_floor();
}

EngineResult<std::string> Retention::Handle(command::FetchFeedBootstrap& command) {
  return FetchFeedBootstrap(db_, command.descriptor, command.maximum_bytes);
}

EngineResult<std::optional<std::string>> Retention::Handle(command::BranchBootstrap& command) {
  return db_.RetentionBranchBootstrap(command.branch);
}

EngineResult<std::optional<std::string>> Retention::Handle(command::ConsumerBootstrap& command) {
  return db_.RetentionConsumerBootstrap(command.consumer_id);
}

}  // namespace corvantine::facade
