// The read side, the branch operations and the engine's own records:
// planned reads, diffs, forks, archives and standalone system records.
#include <algorithm>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "db/db.h"

namespace corvantine::db {

uint64_t StartBound::First() const {
  switch (kind_) {
    case Kind::kUnbounded:
      return 0;
    case Kind::kIncluded:
      return position_;
    case Kind::kExcluded:
      return position_ == std::numeric_limits<uint64_t>::max() ? position_ : position_ + 1;
  }
  return 0;
}

log::reader::ResolvedFilter AllEventsBetween(uint64_t from, uint64_t to) {
  log::reader::ResolvedFilter filter;
  filter.from = from;
  filter.to = to;
  return filter;
}

namespace {

Result<> CheckPartition(const log::reader::PartitionFilter& partition) {
  if (partition.kind() == log::reader::PartitionFilter::Kind::kModulo &&
      partition.index() >= partition.count()) {
    return CorvantineError::InvalidArgument(fmt::format(
        "partition class {} of {} is not a valid partition", partition.index(), partition.count()));
  }
  return {};
}

// The end of a read: the given one, else the head, never beyond it.
Result<uint64_t> CheckedUntil(std::optional<uint64_t> until, uint64_t head) {
  const uint64_t end = until.value_or(head);
  if (end > head) return CorvantineError::OffsetBeyondHead(end);
  return end;
}

}  // namespace

Result<log::reader::LogReader> Corvantine::Read(ReadRequest request) const {
  CVN_TRY(CheckPartition(request.partition));
  CVN_ASSIGN_OR_RETURN(const uint64_t until, CheckedUntil(request.until, log_->head()));
  const uint64_t start = request.start.First();
  const uint64_t floor = log_->retention_floor();
  for (const uint64_t position : {until, start}) {
    if (position < floor) {
      return CorvantineError::PositionUnavailable(position, floor, log_->head());
    }
  }
  CVN_ASSIGN_OR_RETURN(const std::vector<branch::ReplayScope> scopes,
                       branches_.ReplayScopes(request.branch_id, until));

  log::reader::ResolvedFilter filter;
  filter.time_range = request.time_range;
  filter.max_records = request.max_records;
  filter.branch_scopes.emplace();
  for (const auto& [branch, limit] : scopes) filter.branch_scopes->push_back({branch, limit});
  filter.partition = std::move(request.partition);
  filter.from = start;
  filter.to = until;
  filter.verify_batch_digest = request.verify_batch_digest;
  if (request.stream_name) {
    filter.positions = StreamPositions(scopes, *request.stream_name, start, until);
  }
  return log_->PlanReader(std::move(filter));
}

std::vector<log::reader::PositionRange> Corvantine::StreamPositions(
    const std::vector<branch::ReplayScope>& scopes, std::string_view name, uint64_t from,
    uint64_t until) const {
  std::vector<log::reader::PositionRange> ranges;
  for (const auto& [branch, limit] : scopes) {
    const std::optional<format::StreamId> stream = streams_.StreamIdOf(branch, name);
    if (!stream) continue;
    streams_.ForEachRange(*stream, from, std::min(limit, until),
                          [&](uint64_t first, uint64_t end) { ranges.push_back({first, end}); });
  }
  // Each member's stream is its own, so the ranges only interleave.
  std::sort(ranges.begin(), ranges.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return ranges;
}

Result<BranchDiff> Corvantine::Diff(const DiffRequest& request) const {
  CVN_TRY(CheckPartition(request.partition));
  CVN_ASSIGN_OR_RETURN(const uint64_t left_until, CheckedUntil(request.left_until, log_->head()));
  CVN_ASSIGN_OR_RETURN(const uint64_t right_until, CheckedUntil(request.right_until, log_->head()));
  const branch::BranchInfo* left = branches_.Find(request.left_branch);
  if (left == nullptr) return CorvantineError::BranchNotFound(request.left_branch.ToHex());
  const branch::BranchInfo* right = branches_.Find(request.right_branch);
  if (right == nullptr) return CorvantineError::BranchNotFound(request.right_branch.ToHex());
  CVN_ASSIGN_OR_RETURN(auto divergence,
                       branches_.Divergence(left->id, left_until, right->id, right_until));
  auto& [ancestor, offset] = divergence;
  const uint64_t floor = log_->retention_floor();
  if (offset < floor) return CorvantineError::PositionUnavailable(offset, floor, log_->head());

  auto read = [&](const format::BranchId& branch, uint64_t from, uint64_t until) {
    ReadRequest side;
    side.branch_id = branch;
    side.start = StartBound::Included(from);
    side.until = until;
    side.partition = request.partition;
    return side;
  };
  BranchDiff diff;
  diff.shared = read(ancestor.id, floor, offset);
  diff.left = DiffSide{*left, read(left->id, offset, left_until), left_until};
  diff.right = DiffSide{*right, read(right->id, offset, right_until), right_until};
  diff.common_ancestor = std::move(ancestor);
  diff.divergence_offset = offset;
  return diff;
}

Result<branch::BranchInfo> Corvantine::ForkBranch(const format::BranchId& parent, uint64_t position,
                                                  std::string name,
                                                  branch::BranchMetadata metadata) {
  if (branches_.Find(parent) == nullptr) return CorvantineError::BranchNotFound(parent.ToHex());
  const uint64_t head = log_->head();
  const uint64_t floor = log_->retention_floor();
  if (position > head) return CorvantineError::OffsetBeyondHead(position);
  if (position < floor) return CorvantineError::PositionUnavailable(position, floor, head);
  CVN_TRY(CheckBatchBoundary(position));

  branch::BranchInfo info;
  info.id = format::BranchId(format::GenerateIdBytes());
  info.name = std::move(name);
  info.parent = parent;
  info.fork_position = position;
  info.created_at_unix_nanos = CurrentTimestampNanos();
  info.metadata = std::move(metadata);
  // Validated on a copy, which becomes the catalog once the record is
  // written: a failed write leaves the catalog as it was.
  branch::BranchCatalog updated = branches_;
  CVN_TRY(updated.Insert(info));
  CVN_TRY(WriteSystemRecord(branch::kBranchCreatedEventType, info.id, info.created_at_unix_nanos,
                            info.ToJson()));
  branches_ = std::move(updated);
  CVN_TRY(Commit());
  return info;
}

Result<branch::BranchInfo> Corvantine::ArchiveBranch(const format::BranchId& id) {
  const branch::BranchInfo* stored = branches_.Find(id);
  if (stored == nullptr) return CorvantineError::BranchNotFound(id.ToHex());
  if (id == format::BranchId()) {
    return CorvantineError::InvalidArgument("the default branch cannot be archived");
  }
  if (stored->status == branch::BranchStatus::kArchived) return *stored;

  branch::BranchInfo archived = *stored;
  archived.status = branch::BranchStatus::kArchived;
  branch::BranchCatalog updated = branches_;
  CVN_TRY(updated.Archive(archived));
  CVN_TRY(WriteSystemRecord(branch::kBranchArchivedEventType, archived.id,
                            CurrentTimestampNanos(), archived.ToJson()));
  branches_ = std::move(updated);
  CVN_TRY(Commit());
  return archived;
}

// Every batch starts at a segment base (a roll comes before a batch, never
// inside one), and the retention floor is one, so neither needs a look at
// the log; the event before such a position may be gone anyway.
Result<> Corvantine::CheckBatchBoundary(uint64_t position) const {
  const std::vector<log::SegmentMeta>& closed = log_->closed_segments();
  const bool segment_base =
      position == log_->active_segment().base() ||
      std::any_of(closed.begin(), closed.end(),
                  [&](const log::SegmentMeta& segment) { return segment.base == position; });
  if (position == 0 || position == log_->head() || position == log_->retention_floor() ||
      segment_base) {
    return {};
  }
  log::reader::LogReader reader = log_->PlanReader(AllEventsBetween(position - 1, log_->head()));
  CVN_ASSIGN_OR_RETURN(const std::optional<format::StoredRecord> before, reader.Next());
  if (!before || before->position != position - 1) {
    return CorvantineError::NotBatchBoundary(position);
  }
  const format::BatchId batch = before->envelope.batch_id;
  CVN_ASSIGN_OR_RETURN(const std::optional<format::StoredRecord> at, reader.Next());
  if (!at || at->position != position || at->envelope.batch_id == batch) {
    return CorvantineError::NotBatchBoundary(position);
  }
  return {};
}

Result<> Corvantine::AppendSystemRecord(std::string_view event_type, std::string_view payload) {
  CVN_TRY(WriteSystemRecord(event_type, format::BranchId(), 0, payload));
  CVN_TRY(Commit());
  return {};
}

Result<> Corvantine::WriteSystemRecord(std::string_view event_type, const format::BranchId& branch,
                                       int64_t timestamp_unix_nanos, std::string_view payload) {
  const format::IdBytes id = format::GenerateIdBytes();
  format::RecordEnvelopeV2 envelope;
  envelope.event_id = format::EventId(id);
  envelope.database_id = log_->database_id();
  envelope.branch_id = branch;
  envelope.timestamp_unix_nanos = timestamp_unix_nanos;
  CVN_ASSIGN_OR_RETURN(envelope.event_type, format::EventType::New(std::string(event_type)));
  envelope.schema_version = 1;
  envelope.payload_format = 1;
  envelope.batch_id = format::BatchId(id);
  const LogEnd end = End();
  Result<> written = log_->AppendSystem(envelope, payload);
  CountAppendedSince(end);
  return written;
}

}  // namespace corvantine::db
