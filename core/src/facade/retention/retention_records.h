// The records of retention as the engine hands them out: plans, policy
// previews and apply results are the database's (db/retention_plan.h), an
// anchor is described by its file's summary (retention/anchor_info.h), and a
// status adds what only the engine knows: its consumers and open handles.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "db/retention_plan.h"
#include "format/ids.h"
#include "retention/anchor_info.h"

namespace corvantine::facade {

using db::RetentionApplyResult;
using db::RetentionBlocker;
using db::RetentionConsumerStatus;
using db::RetentionPlan;
using db::RetentionPolicy;
using db::RetentionPolicyPreview;
using retention::RetentionAnchorInfo;

// (base position, bytes) of one closed segment file.
using SegmentSpan = std::pair<uint64_t, uint64_t>;

// The closed segments still on disk wholly below the current floor: what an
// interrupted reclamation left behind.
struct RetentionCleanup {
  bool complete = true;  // none left
  uint64_t pending_bytes = 0;
  std::vector<SegmentSpan> pending_segments;

  friend bool operator==(const RetentionCleanup&, const RetentionCleanup&) = default;
};

struct RetentionStatusDto {
  format::DatabaseId database_id;
  uint64_t generation = 0;
  uint64_t floor = 0;  // the current retention floor
  uint64_t durable_head = 0;
  uint64_t requested_floor = 0;
  uint64_t effective_floor = 0;
  bool anchor_ready = false;  // no EngineAnchorUnavailable among the blockers
  uint64_t reclaimable_bytes = 0;
  std::vector<SegmentSpan> reclaimable_segments;
  std::vector<RetentionBlocker> blockers;
  uint64_t open_readers = 0;
  uint64_t open_feeds = 0;
  std::vector<RetentionConsumerStatus> consumers;  // sorted by consumer id
  RetentionCleanup cleanup;

  friend bool operator==(const RetentionStatusDto&, const RetentionStatusDto&) = default;
};

}  // namespace corvantine::facade
