// The dicts in which the engine's retention replies reach Python, each with
// a fixed key order. Positions, sizes and counts are ints, ids 32 lowercase
// hexadecimal characters.
//
//   segment  base_position, bytes
//   blocker  kind, then by kind: engine_anchor_unavailable: nothing;
//            branch_requires_bootstrap: branch (its name), fork_position;
//            projection_requires_bootstrap: name;
//            consumer_requires_bootstrap: consumer_id, position;
//            maintenance_handles_open: readers, feeds
//   plan     plan_id, generation, requested_floor, effective_floor,
//            current_floor, durable_head, reclaimable_bytes,
//            reclaimable_segments (segments), blockers
//   status   database_id, generation, floor, durable_head, requested_floor,
//            effective_floor, anchor_ready, reclaimable_bytes,
//            reclaimable_segments, blockers, open_readers, open_feeds,
//            consumers (consumer_id, position, behind_effective_floor,
//            bootstrap_available), cleanup (complete, pending_bytes,
//            pending_segments)
//   preview  policy (its word), value (signed for keep_newer_than),
//            selected_floor, target_satisfied, explanation, plan
//   anchor   format_version, database_id, floor, head, bytes, checksum,
//            projection_checkpoints, branch_bootstraps,
//            consumer_bootstraps, bootstrap_bytes, system_records
//   apply    generation, floor, reclaimed_bytes
//
// Each returns a new dict, or null with the error set.
#pragma once

#include <Python.h>

#include <string_view>

#include "facade/engine/engine.h"

namespace corvantine::python {

// The policy words, indexed by facade::RetentionPolicy.
inline constexpr std::string_view kRetentionPolicyWords[] = {
    "keep_from", "keep_latest_events", "keep_newer_than", "target_log_bytes"};

PyObject* RetentionStatusDict(const facade::RetentionStatusDto& status);
PyObject* RetentionPlanDict(const facade::RetentionPlan& plan);
PyObject* RetentionPreviewDict(const facade::RetentionPolicyPreview& preview);
PyObject* RetentionAnchorDict(const facade::RetentionAnchorInfo& anchor);
PyObject* RetentionApplyDict(const facade::RetentionApplyResult& result);

}  // namespace corvantine::python
