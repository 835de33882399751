#include "log/sequence.h"

#include <fmt/format.h>

namespace corvantine::log::sequence {

CorvantineError CorruptSequence(uint64_t position, uint64_t expected) {
  return CorvantineError::Corrupt(
      position, fmt::format("position {} breaks expected sequence {}", position, expected));
}

Verdict FrameSequence::Check(const FrameMark& frame) const {
  switch (frame.kind) {
    case format::kEventFrame:
      return in_batch_ ? CheckBatchEvent(frame) : CheckStandalone(frame.position);
    case format::kBatchCommitFrame:
      return CheckCommit(frame);
    default:  // a system record or a batch open; the codec admits no other kind
      return CheckStandalone(frame.position);
  }
}

void FrameSequence::Accept(const FrameMark& frame) {
  switch (frame.kind) {
    case format::kEventFrame:
      if (in_batch_) {
        ++batch_events_;
      } else {
        ++expected_;
      }
      return;
    case format::kBatchOpenFrame:
      in_batch_ = true;
      batch_begin_ = frame.position;
      batch_id_ = frame.batch_id;
      batch_events_ = 0;
      return;
    case format::kBatchCommitFrame:
      in_batch_ = false;
      expected_ = batch_begin_ + batch_events_;
      return;
  }
}

Verdict FrameSequence::CheckStandalone(uint64_t position) const {
  if (in_batch_ || position != expected_) return {Break::kOutOfPlace, expected_};
  return {};
}

Verdict FrameSequence::CheckBatchEvent(const FrameMark& frame) const {
  const uint64_t due = batch_begin_ + batch_events_;
  if (frame.position != due) return {Break::kEventOutOfPlace, due};
  if (checks_membership() &&
      (frame.batch_id != batch_id_ || frame.batch_index != batch_events_)) {
    return {Break::kEventOfAnotherBatch, due};
  }
  return {};
}

Verdict FrameSequence::CheckCommit(const FrameMark& frame) const {
  if (!in_batch_) return {Break::kCommitWithoutBegin, expected_};
  if (frame.position != batch_begin_ || (checks_membership() && frame.batch_id != batch_id_)) {
    return {Break::kCommitOfAnotherBatch, batch_begin_};
  }
  if (batch_events_ == 0) return {Break::kCommitOfNoEvents, batch_begin_};
  return {};
}

}  // namespace corvantine::log::sequence
