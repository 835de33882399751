#include "retention_records.h"

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "errors.h"
#include "py_ref.h"
#include "records.h"
#include "values.h"

namespace corvantine::python {

namespace {

static_assert(std::size(kRetentionPolicyWords) ==
              static_cast<size_t>(facade::RetentionPolicy::kTargetLogBytes) + 1);

Ref Int(uint64_t value) { return Ref::Steal(PyLong_FromUnsignedLongLong(value)); }
Ref Bool(bool value) { return Ref::Steal(PyBool_FromLong(value)); }
Ref Text(std::string_view text) { return Ref::Steal(DecodeLossy(text)); }

// A new list of `convert` of each element, in order.
template <typename T, typename Convert>
Ref ListOf(const std::vector<T>& elements, Convert convert) {
  Ref list = Ref::Steal(PyList_New(0));
  if (!list) return list;
  for (const T& element : elements) {
    Ref item = Ref::Steal(convert(element));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return Ref();
  }
  return list;
}

PyObject* SegmentDict(const facade::SegmentSpan& segment) {
  DictItem items[] = {{"base_position", Int(segment.first)}, {"bytes", Int(segment.second)}};
  return DictOf(items);
}

Ref Segments(const std::vector<facade::SegmentSpan>& segments) {
  return ListOf(segments, SegmentDict);
}

// The blocker's own keys, after "kind".
PyObject* BlockerFields(const db::EngineAnchorUnavailable&, Ref kind) {
  DictItem items[] = {{"kind", std::move(kind)}};
  return DictOf(items);
}
PyObject* BlockerFields(const db::BranchRequiresBootstrap& blocker, Ref kind) {
  DictItem items[] = {{"kind", std::move(kind)},
                      {"branch", Text(blocker.branch)},
                      {"fork_position", Int(blocker.fork_position)}};
  return DictOf(items);
}
PyObject* BlockerFields(const db::ProjectionRequiresBootstrap& blocker, Ref kind) {
  DictItem items[] = {{"kind", std::move(kind)}, {"name", Text(blocker.name)}};
  return DictOf(items);
}
PyObject* BlockerFields(const db::ConsumerRequiresBootstrap& blocker, Ref kind) {
  DictItem items[] = {{"kind", std::move(kind)},
                      {"consumer_id", Text(blocker.consumer_id)},
                      {"position", Int(blocker.position)}};
  return DictOf(items);
}
PyObject* BlockerFields(const db::MaintenanceHandlesOpen& blocker, Ref kind) {
  DictItem items[] = {{"kind", std::move(kind)},
                      {"readers", Int(blocker.readers)},
                      {"feeds", Int(blocker.feeds)}};
  return DictOf(items);
}

PyObject* BlockerDict(const facade::RetentionBlocker& blocker) {
  return std::visit(
      [&](const auto& variant) { return BlockerFields(variant, Text(db::BlockerKind(blocker))); },
      blocker);
}

Ref Blockers(const std::vector<facade::RetentionBlocker>& blockers) {
  return ListOf(blockers, BlockerDict);
}

PyObject* ConsumerDict(const facade::RetentionConsumerStatus& consumer) {
  DictItem items[] = {
      {"consumer_id", Text(consumer.consumer_id)},
      {"position", Int(consumer.position)},
      {"behind_effective_floor", Bool(consumer.behind_effective_floor)},
      {"bootstrap_available", Bool(consumer.bootstrap_available)},
  };
  return DictOf(items);
}

PyObject* CleanupDict(const facade::RetentionCleanup& cleanup) {
  DictItem items[] = {
      {"complete", Bool(cleanup.complete)},
      {"pending_bytes", Int(cleanup.pending_bytes)},
      {"pending_segments", Segments(cleanup.pending_segments)},
  };
  return DictOf(items);
}

Ref PolicyValue(const facade::RetentionPolicyPreview& preview) {
  if (preview.policy != facade::RetentionPolicy::kKeepNewerThan) return Int(preview.value);
  return Ref::Steal(PyLong_FromLongLong(static_cast<int64_t>(preview.value)));
}

}  // namespace

PyObject* RetentionStatusDict(const facade::RetentionStatusDto& status) {
  DictItem items[] = {
      {"database_id", Ref::Steal(HexId(status.database_id.bytes()))},
      {"generation", Int(status.generation)},
      {"floor", Int(status.floor)},
      {"durable_head", Int(status.durable_head)},
      {"requested_floor", Int(status.requested_floor)},
      {"effective_floor", Int(status.effective_floor)},
      {"anchor_ready", Bool(status.anchor_ready)},
      {"reclaimable_bytes", Int(status.reclaimable_bytes)},
      {"reclaimable_segments", Segments(status.reclaimable_segments)},
      {"blockers", Blockers(status.blockers)},
      {"open_readers", Int(status.open_readers)},
      {"open_feeds", Int(status.open_feeds)},
      {"consumers", ListOf(status.consumers, ConsumerDict)},
      {"cleanup", Ref::Steal(CleanupDict(status.cleanup))},
  };
  return DictOf(items);
}

PyObject* RetentionPlanDict(const facade::RetentionPlan& plan) {
  DictItem items[] = {
      {"plan_id", Ref::Steal(HexId(plan.plan_id))},
      {"generation", Int(plan.generation)},
      {"requested_floor", Int(plan.requested_floor)},
      {"effective_floor", Int(plan.effective_floor)},
      {"current_floor", Int(plan.current_floor)},
      {"durable_head", Int(plan.durable_head)},
      {"reclaimable_bytes", Int(plan.reclaimable_bytes)},
      {"reclaimable_segments", Segments(plan.reclaimable_segments)},
      {"blockers", Blockers(plan.blockers)},
  };
  return DictOf(items);
}

PyObject* RetentionPreviewDict(const facade::RetentionPolicyPreview& preview) {
  DictItem items[] = {
      {"policy", Text(kRetentionPolicyWords[static_cast<size_t>(preview.policy)])},
      {"value", PolicyValue(preview)},
      {"selected_floor", Int(preview.selected_floor)},
      {"target_satisfied", Bool(preview.target_satisfied)},
      {"explanation", Text(preview.explanation)},
      {"plan", Ref::Steal(RetentionPlanDict(preview.plan))},
  };
  return DictOf(items);
}

PyObject* RetentionAnchorDict(const facade::RetentionAnchorInfo& anchor) {
  DictItem items[] = {
      {"format_version", Int(anchor.format_version)},
      {"database_id", Ref::Steal(HexId(anchor.database_id.bytes()))},
      {"floor", Int(anchor.floor)},
      {"head", Int(anchor.head)},
      {"bytes", Int(anchor.bytes)},
      {"checksum", Int(anchor.checksum)},
      {"projection_checkpoints", Int(anchor.projection_checkpoints)},
      {"branch_bootstraps", Int(anchor.branch_bootstraps)},
      {"consumer_bootstraps", Int(anchor.consumer_bootstraps)},
      {"bootstrap_bytes", Int(anchor.bootstrap_bytes)},
      {"system_records", Int(anchor.system_records)},
  };
  return DictOf(items);
}

PyObject* RetentionApplyDict(const facade::RetentionApplyResult& result) {
  DictItem items[] = {
      {"generation", Int(result.generation)},
      {"floor", Int(result.floor)},
      {"reclaimed_bytes", Int(result.reclaimed_bytes)},
  };
  return DictOf(items);
}

}  // namespace corvantine::python
