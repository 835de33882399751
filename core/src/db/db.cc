#include "db/db.h"

#include <limits>
#include <utility>

#include <fmt/format.h>

#include "db/checkpoint.h"
#include "platform/system.h"
#include "util/warning.h"

namespace corvantine::db {

uint64_t CurrentTimestampMs() { return platform::NowUnixMillis(); }

int64_t CurrentTimestampNanos() {
  constexpr uint64_t kMaxMillis = std::numeric_limits<int64_t>::max() / 1'000'000;
  const uint64_t millis = CurrentTimestampMs();
  if (millis > kMaxMillis) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(millis * 1'000'000);
}

Corvantine::~Corvantine() {
  const bool all_committed = durable_head_ == log_->head() && !log_->fence();
  if (all_committed && (!checkpoint_ || checkpoint_->head != durable_head_)) PersistCheckpoint();
}

Result<uint64_t> Corvantine::Commit() {
  CVN_TRY(CommitOrMark());
  PersistCheckpointIfDue();
  return durable_head_;
}

void Corvantine::BeginCommitGroup() { in_group_ = true; }

Result<> Corvantine::EndCommitGroup() {
  in_group_ = false;
  if (!marked_) return {};
  const uint64_t marked_head = marked_->last_head;
  marked_.reset();
  Result<> flushed = log_->SyncActive();
  if (!flushed.ok()) {
    unflushed_receipts_.insert(unflushed_receipts_.end(), marked_receipts_.begin(),
                               marked_receipts_.end());
    marked_receipts_.clear();
    return flushed;
  }
  marked_receipts_.clear();
  durable_head_ = marked_head;
  // The catalog holds what was appended after the last mark as well, so it
  // can stand for the durable head only when nothing was.
  if (durable_head_ == log_->head()) PersistCheckpointIfDue();
  return {};
}

bool Corvantine::AwaitsGroupFlush(const stream::AppendReceipt& receipt) const {
  if (!marked_ || receipt.last_position < durable_head_) return false;
  return receipt.durability == stream::ReceiptDurability::kSynced ||
         receipt.first_position >= marked_->first_head;
}

Result<> Corvantine::MakeDurable() {
  CVN_TRY(log_->SyncActive());
  durable_head_ = log_->head();
  ResetCommitCounters();
  return {};
}

Result<> Corvantine::CommitOrMark() {
  if (!in_group_) return MakeDurable();
  MarkCommit();
  return {};
}

void Corvantine::MarkCommit() {
  const uint64_t head = log_->head();
  marked_ = MarkedCommits{marked_ ? marked_->first_head : head, head};
  ResetCommitCounters();
}

void Corvantine::ResetCommitCounters() {
  uncommitted_bytes_ = 0;
  uncommitted_events_ = 0;
  last_commit_nanos_ = options_.monotonic_nanos();
}

// Rewriting the whole catalog at every commit would make a commit's cost
// grow with the history. Waiting until the log has grown by half the
// checkpoint's size keeps the writing proportional to the appending, and
// the events a reopen must apply on top of the checkpoint to a bounded
// share of the log.
void Corvantine::PersistCheckpointIfDue() {
  if (in_group_) return;
  if (checkpoint_ &&
      2 * (appended_bytes_ - checkpoint_->appended_bytes) < checkpoint_->file_bytes) {
    return;
  }
  PersistCheckpoint();
}

void Corvantine::PersistCheckpoint() {
  if (Result<> written = WriteCheckpoint(); !written.ok()) {
    util::Warn(fmt::format("could not persist core catalog: {}", written.error().ToString()));
  }
}

Result<> Corvantine::WriteCheckpoint() {
  CVN_ASSIGN_OR_RETURN(const uint64_t written, PersistCoreCatalog(directory_, log_->database_id(),
                                                                  durable_head_, streams_));
  checkpoint_ = CheckpointMark{durable_head_, written, appended_bytes_};
  return {};
}

Result<std::vector<retention::AnchoredSystemRecord>> Corvantine::SystemMetadata() const {
  std::vector<retention::AnchoredSystemRecord> records;
  if (verified_anchor_) records = verified_anchor_->system_records;
  log::StoredLogIter stored = log_->SystemRecords();
  while (std::optional<Result<format::OwnedStoredRecord>> next = stored.Next()) {
    CVN_ASSIGN_OR_RETURN(format::OwnedStoredRecord record, std::move(*next));
    records.push_back({record.envelope.event_type.str(), std::move(record.payload)});
  }
  return records;
}

Corvantine::LogEnd Corvantine::End() const {
  const log::segment::Segment& active = log_->active_segment();
  return LogEnd{active.base(), active.byte_length()};
}

// A write may roll the log first; the bytes it appended are then all in the
// new active segment.
void Corvantine::CountAppendedSince(LogEnd end) {
  const log::segment::Segment& active = log_->active_segment();
  appended_bytes_ += active.byte_length() - (active.base() == end.base ? end.length : 0);
}

log::reader::LogReader Corvantine::ReadAllBranches(uint64_t from, uint64_t to) const {
  return log_->PlanReader(AllEventsBetween(from, to));
}

std::vector<std::pair<uint64_t, uint64_t>> Corvantine::UnreclaimedSegments() const {
  return log_->RetentionBoundaryFor(log_->retention_floor()).reclaimable;
}

}  // namespace corvantine::db
