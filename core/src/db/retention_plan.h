// Retention plans: what moving the retention floor to a requested position
// would do, and what stands in its way. The database makes plans
// (Corvantine::PlanRetention); the engine that owns it completes them with
// its own blockers, built by the functions below from the state it hands
// over, keeps them by id, and applies one only after re-making it and
// finding it equal, blockers included and in the same order.
//
// Blockers are always listed in one order: the anchor, branches,
// projections, consumers, open handles (the order of the variants below).
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "format/ids.h"

namespace corvantine::db {

struct VerifiedAnchor;

// The database holds no anchor for exactly the plan's floor and durable head.
struct EngineAnchorUnavailable {
  friend bool operator==(const EngineAnchorUnavailable&, const EngineAnchorUnavailable&) = default;
};
// A branch forked below the floor has no bootstrap registered for it.
struct BranchRequiresBootstrap {
  uint64_t fork_position = 0;
  std::string branch;  // the branch's name
  friend bool operator==(const BranchRequiresBootstrap&, const BranchRequiresBootstrap&) = default;
};
// A registered projection the anchor cannot restore.
struct ProjectionRequiresBootstrap {
  std::string name;
  friend bool operator==(const ProjectionRequiresBootstrap&,
                         const ProjectionRequiresBootstrap&) = default;
};
// A feed consumer checkpointed below the floor, with no bootstrap for it.
struct ConsumerRequiresBootstrap {
  uint64_t position = 0;
  std::string consumer_id;
  friend bool operator==(const ConsumerRequiresBootstrap&,
                         const ConsumerRequiresBootstrap&) = default;
};
// Readers or feeds are open.
struct MaintenanceHandlesOpen {
  uint64_t readers = 0;
  uint64_t feeds = 0;
  friend bool operator==(const MaintenanceHandlesOpen&, const MaintenanceHandlesOpen&) = default;
};

// Equal when the variant and every field are equal; index() is the tag.
using RetentionBlocker =
    std::variant<EngineAnchorUnavailable, BranchRequiresBootstrap, ProjectionRequiresBootstrap,
                 ConsumerRequiresBootstrap, MaintenanceHandlesOpen>;

// The snake-case name of the blocker's variant, e.g. "branch_requires_bootstrap".
std::string_view BlockerKind(const RetentionBlocker& blocker);

struct RetentionPlan {
  format::IdBytes plan_id{};
  uint64_t generation = 0;  // the manifest's retention generation
  uint64_t requested_floor = 0;
  uint64_t effective_floor = 0;  // rounded down to a segment base, never below the current floor
  uint64_t current_floor = 0;
  uint64_t durable_head = 0;
  uint64_t reclaimable_bytes = 0;
  std::vector<std::pair<uint64_t, uint64_t>> reclaimable_segments;  // (base, bytes)
  std::vector<RetentionBlocker> blockers;

  // Field by field, blockers element by element in order: a re-made plan
  // that differs in anything makes the stored one stale.
  friend bool operator==(const RetentionPlan&, const RetentionPlan&) = default;
};

// How a policy preview chooses the requested floor.
enum class RetentionPolicy : uint64_t {
  kKeepFrom = 0,          // the value is the floor
  kKeepLatestEvents = 1,  // keep the value's number of most recent positions
  kKeepNewerThan = 2,     // keep records at or after the value, signed Unix nanoseconds
  kTargetLogBytes = 3,    // keep at most the value's bytes of segment files
};

struct RetentionPolicyPreview {
  RetentionPolicy policy = RetentionPolicy::kKeepFrom;
  uint64_t value = 0;
  uint64_t selected_floor = 0;
  bool target_satisfied = false;
  std::string explanation;
  RetentionPlan plan;

  friend bool operator==(const RetentionPolicyPreview&, const RetentionPolicyPreview&) = default;
};

struct RetentionApplyResult {
  uint64_t generation = 0;  // the manifest's retention generation after the switch
  uint64_t floor = 0;
  uint64_t reclaimed_bytes = 0;

  friend bool operator==(const RetentionApplyResult&, const RetentionApplyResult&) = default;
};

// Where one feed consumer stands against a plan's effective floor.
struct RetentionConsumerStatus {
  std::string consumer_id;
  uint64_t position = 0;  // its stored checkpoint
  bool behind_effective_floor = false;
  bool bootstrap_available = false;  // whether behind or not

  friend bool operator==(const RetentionConsumerStatus&, const RetentionConsumerStatus&) = default;
};

// Feed consumers' checkpoints by consumer id; sorted, so that the blockers
// built from the same state come in the same order.
using ConsumerCheckpoints = std::map<std::string, uint64_t, std::less<>>;

// A registered projection and whether the anchor covers it (the engine
// proves coverage from the snapshots on disk).
struct ProjectionCoverageCheck {
  std::string name;
  bool covered = false;
};

// Whether `anchor` (none: never) holds a bootstrap for the branch or the
// consumer at `floor`: the first entry naming it, registered for `floor`,
// whose checkpoint's CRC-32C is its checksum.
bool HasMatchingBranchBootstrap(const VerifiedAnchor* anchor, const format::BranchId& branch,
                                uint64_t floor);
bool HasMatchingConsumerBootstrap(const VerifiedAnchor* anchor, std::string_view consumer_id,
                                  uint64_t floor);

// The engine's blockers, appended in the order the engine must call these:
// projections, consumers, handles.
// One ProjectionRequiresBootstrap per projection not covered, in order.
void AppendProjectionBlockers(std::span<const ProjectionCoverageCheck> projections,
                              std::vector<RetentionBlocker>& blockers);
// One ConsumerRequiresBootstrap per consumer below `floor` without a
// matching bootstrap; consumers at or above the floor never block.
void AppendConsumerBlockers(const VerifiedAnchor* anchor, const ConsumerCheckpoints& checkpoints,
                            uint64_t floor, std::vector<RetentionBlocker>& blockers);
// One MaintenanceHandlesOpen when any reader or feed is open.
void AppendHandleBlocker(uint64_t readers, uint64_t feeds, std::vector<RetentionBlocker>& blockers);

// One status per consumer, sorted by consumer id.
std::vector<RetentionConsumerStatus> ConsumerStatuses(const VerifiedAnchor* anchor,
                                                      const ConsumerCheckpoints& checkpoints,
                                                      uint64_t floor);

// The floor keep_latest_events selects: `keep` positions below the durable
// head, never below the current floor.
uint64_t KeepLatestFloor(uint64_t durable_head, uint64_t current_floor, uint64_t keep);

}  // namespace corvantine::db
