// The sequencer's retention state: the plans it handed out, kept by id until
// one is applied, and the branch and consumer bootstraps registered for
// future anchors. Bootstraps are durable as system records and replayed at
// open; plans live in memory only. An anchor carries the bootstraps
// registered for its floor; only the anchor's are ever handed back.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db/db.h"
#include "facade/engine/error.h"
#include "facade/retention/retention_records.h"
#include "format/ids.h"
#include "retention/anchor.h"

namespace corvantine::facade {

// The longest checkpoint a bootstrap may register, and the longest consumer
// id and codec name.
inline constexpr uint64_t kMaxRetentionBootstrapBytes = 8 << 20;
inline constexpr size_t kMaxBootstrapConsumerIdBytes = 256;
inline constexpr size_t kMaxBootstrapCodecBytes = 128;

// Whether a re-made plan, carrying the stored plan's id, still matches it:
// "retention_plan_stale" when any field differs, then "retention_blocked"
// when it has blockers.
EngineResult<> CheckPlanStillHolds(const RetentionPlan& stored, const RetentionPlan& remade);

class RetentionState {
 public:
  // Rebuilds both bootstrap maps from the database's system records in log
  // order, the latest for a branch or consumer winning. A bootstrap that
  // cannot be read empties both maps with a warning: retention then waits
  // for the bootstraps to be registered again, which only blocks it.
  void Restore(const db::Corvantine& db);

  void KeepPlan(const RetentionPlan& plan) { plans_.insert_or_assign(plan.plan_id, plan); }
  // The plan under `id`: "retention_plan_unknown" when none.
  EngineResult<const RetentionPlan*> FindPlan(const format::IdBytes& id) const;
  void ForgetPlan(const format::IdBytes& id) { plans_.erase(id); }

  // Writes the bootstrap's system record (which commits), then keeps it,
  // replacing an earlier one of its branch or consumer.
  EngineResult<> Register(db::Corvantine& db, retention::RetentionBranchBootstrap bootstrap);
  EngineResult<> Register(db::Corvantine& db, retention::RetentionConsumerBootstrap bootstrap);

  // Copies of the bootstraps registered for `floor`, in key order.
  std::vector<retention::RetentionBranchBootstrap> BranchBootstrapsAt(uint64_t floor) const;
  std::vector<retention::RetentionConsumerBootstrap> ConsumerBootstrapsAt(uint64_t floor) const;

 private:
  Result<> ReplayBootstraps(const db::Corvantine& db);
  Result<> ReplayBootstrap(const retention::AnchoredSystemRecord& record);

  std::map<format::IdBytes, RetentionPlan> plans_;
  std::map<format::BranchId, retention::RetentionBranchBootstrap> branch_bootstraps_;
  std::map<std::string, retention::RetentionConsumerBootstrap, std::less<>> consumer_bootstraps_;
};

}  // namespace corvantine::facade
