// The retention commands. The database plans, anchors and applies; this
// component adds the blockers only the engine knows (its queries, its
// consumers, its open readers and feeds), keeps the plans it hands out, and
// applies one only when a plan made again now is equal to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "db/db.h"
#include "facade/engine/error.h"
#include "facade/engine/readers.h"
#include "facade/feed/feeds.h"
#include "facade/retention/commands.h"
#include "facade/retention/retention_records.h"
#include "facade/retention/retention_state.h"
#include "facade/view/projections.h"

namespace corvantine::facade {

class Retention {
 public:
  // Reads the open readers and feeds, the consumers' checkpoints and the
  // queries' coverage of the components given.
  Retention(db::Corvantine& db, const Readers& readers, const Feeds& feeds,
            Projections& projections)
      : db_(db), readers_(readers), feeds_(feeds), projections_(projections) {}

  Retention(const Retention&) = delete;
  Retention& operator=(const Retention&) = delete;

  // Replays the registered bootstraps (RetentionState::Restore).
  void Restore() { retention_.Restore(db_); }

  EngineResult<uint64_t> Handle(command::RetentionFloor& command);
  EngineResult<RetentionStatusDto> Handle(command::RetentionStatus& command);
  EngineResult<RetentionPlan> Handle(command::PlanRetention& command);
  EngineResult<RetentionPolicyPreview> Handle(command::PlanRetentionPolicy& command);
  EngineResult<RetentionAnchorInfo> Handle(command::CreateRetentionAnchor& command);
  EngineResult<RetentionApplyResult> Handle(command::ApplyRetention& command);
  EngineResult<uint64_t> Handle(command::RegisterBranchBootstrap& command);
  EngineResult<uint64_t> Handle(command::RegisterConsumerBootstrap& command);
  EngineResult<std::optional<std::string>> Handle(command::BranchBootstrap& command);
  EngineResult<std::optional<std::string>> Handle(command::ConsumerBootstrap& command);
  // Feed bootstraps (facade/retention/feed_bootstrap.h).
  EngineResult<std::string> Handle(command::FetchFeedBootstrap& command);

 private:
  // The engine's blockers, appended to a plan of the database in the order
  // projections, consumers, handles.
  EngineResult<> AddEngineBlockers(RetentionPlan& plan) const;
  // A plan at `keep_from` with the engine's blockers.
  EngineResult<RetentionPlan> PlanWithBlockers(uint64_t keep_from) const;
  // The effective floor of a plan at `keep_from`.
  EngineResult<uint64_t> EffectiveFloor(uint64_t keep_from) const;

  db::Corvantine& db_;
  const Readers& readers_;
  const Feeds& feeds_;
  Projections& projections_;
  RetentionState retention_;
};

}  // namespace corvantine::facade
