#include "facade/retention/retention_state.h"

#include <utility>

#include <fmt/format.h>

#include "facade/view/projection_records.h"
#include "util/warning.h"

namespace corvantine::facade {

namespace {

template <typename Map>
auto CopiesAt(const Map& bootstraps, uint64_t floor) {
  std::vector<typename Map::mapped_type> copies;
  for (const auto& [key, bootstrap] : bootstraps) {
    if (bootstrap.floor == floor) copies.push_back(bootstrap);
  }
  return copies;
}

}  // namespace

EngineResult<> CheckPlanStillHolds(const RetentionPlan& stored, const RetentionPlan& remade) {
  if (remade != stored) {
    return EngineError("retention plan no longer matches database state",
                       code::kRetentionPlanStale);
  }
  if (!remade.blockers.empty()) {
    return EngineError("retention plan still has unresolved blockers", code::kRetentionBlocked);
  }
  return {};
}

void RetentionState::Restore(const db::Corvantine& db) {
  const Result<> replayed = ReplayBootstraps(db);
  if (replayed.ok()) return;
  branch_bootstraps_.clear();
  consumer_bootstraps_.clear();
  util::Warn(
      fmt::format("ignoring registered retention bootstraps: {}", replayed.error().ToString()));
}

Result<> RetentionState::ReplayBootstraps(const db::Corvantine& db) {
  CVN_ASSIGN_OR_RETURN(const std::vector<retention::AnchoredSystemRecord> records,
                       db.SystemMetadata());
  for (const retention::AnchoredSystemRecord& record : records) CVN_TRY(ReplayBootstrap(record));
  return {};
}

Result<> RetentionState::ReplayBootstrap(const retention::AnchoredSystemRecord& record) {
  if (record.event_type == retention::kBranchBootstrapEventType) {
    CVN_ASSIGN_OR_RETURN(retention::RetentionBranchBootstrap bootstrap,
                         retention::RetentionBranchBootstrap::FromJson(record.payload));
    branch_bootstraps_.insert_or_assign(bootstrap.branch_id, std::move(bootstrap));
  } else if (record.event_type == retention::kConsumerBootstrapEventType) {
    CVN_ASSIGN_OR_RETURN(retention::RetentionConsumerBootstrap bootstrap,
                         retention::RetentionConsumerBootstrap::FromJson(record.payload));
    std::string consumer_id = bootstrap.consumer_id;
    consumer_bootstraps_.insert_or_assign(std::move(consumer_id), std::move(bootstrap));
  }
  return {};
}

EngineResult<const RetentionPlan*> RetentionState::FindPlan(const format::IdBytes& id) const {
  const auto found = plans_.find(id);
  if (found == plans_.end()) {
    return EngineError("retention plan is unknown or already applied", code::kRetentionPlanUnknown);
  }
  return &found->second;
}

EngineResult<> RetentionState::Register(db::Corvantine& db,
                                        retention::RetentionBranchBootstrap bootstrap) {
  CVN_TRY(AppendProjectionSystem(db, retention::kBranchBootstrapEventType, bootstrap.ToJson()));
  branch_bootstraps_.insert_or_assign(bootstrap.branch_id, std::move(bootstrap));
  return {};
}

EngineResult<> RetentionState::Register(db::Corvantine& db,
                                        retention::RetentionConsumerBootstrap bootstrap) {
  CVN_TRY(AppendProjectionSystem(db, retention::kConsumerBootstrapEventType, bootstrap.ToJson()));
  std::string consumer_id = bootstrap.consumer_id;
  consumer_bootstraps_.insert_or_assign(std::move(consumer_id), std::move(bootstrap));
  return {};
}

std::vector<retention::RetentionBranchBootstrap> RetentionState::BranchBootstrapsAt(
    uint64_t floor) const {
  return CopiesAt(branch_bootstraps_, floor);
}

std::vector<retention::RetentionConsumerBootstrap> RetentionState::ConsumerBootstrapsAt(
    uint64_t floor) const {
  return CopiesAt(consumer_bootstraps_, floor);
}

}  // namespace corvantine::facade
