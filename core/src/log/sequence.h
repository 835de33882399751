// The order of the frames in a segment, checked in one place. Frames carry
// positions as follows:
//
//   kind 1, event            its own position; each event takes the next one
//   kind 2, system record    the position of the next event; takes none
//   kind 3/4, batch control  the batch's first position; takes none
//
// A batch is an open frame, its events at consecutive positions with
// batch_index 0, 1, ..., and a commit frame, all of one batch id; it holds
// at least one event, and nothing else comes between its open and commit.
//
// The segment scan, the sidecar builder and the log reader all walk frames
// through a FrameSequence. Each reports a broken rule in its own words, and
// checks batch counts and digests (record::BatchTally) as far as it needs.
#pragma once

#include <cstdint>

#include "error/error.h"
#include "format/format.h"

namespace corvantine::log::sequence {

// What the rules look at in a frame.
struct FrameMark {
  uint8_t kind = 0;
  uint64_t position = 0;
  // Compared only by a sequence that checks batch membership.
  format::BatchId batch_id;
  uint32_t batch_index = 0;

  static FrameMark Of(const format::FrameView& frame) {
    return {frame.kind, frame.position, frame.envelope.batch_id, frame.envelope.batch_index};
  }
};

// The first rule a frame breaks.
enum class Break : uint8_t {
  kNone,
  // A standalone frame (an event outside a batch, a system record, a batch
  // open) away from the expected position, or a system record or batch open
  // inside a batch.
  kOutOfPlace,
  // An event of the open batch at another position than its begin + the
  // events seen.
  kEventOutOfPlace,
  // An event of the open batch with another batch id, or with an index
  // other than the events seen.
  kEventOfAnotherBatch,
  kCommitWithoutBegin,
  // A commit at another position than its batch's begin, or of another batch.
  kCommitOfAnotherBatch,
  kCommitOfNoEvents,
};

struct Verdict {
  Break broken = Break::kNone;
  // The position the frame should have carried: the expected position for a
  // standalone frame, begin + events seen for an event of the open batch,
  // the begin for a commit.
  uint64_t due = 0;
};

// The Corrupt error of a frame at `position` where `expected` was due:
// "position {position} breaks expected sequence {expected}".
CorvantineError CorruptSequence(uint64_t position, uint64_t expected);

class FrameSequence {
 public:
  // Whether events and commits must carry their batch's id, and events their
  // index in it. A caller that keeps only kinds and positions takes them on
  // trust.
  enum class Membership : uint8_t { kChecked, kTrusted };

  // A sequence whose first standalone frame is due at `start`.
  FrameSequence(uint64_t start, Membership membership)
      : membership_(membership), expected_(start) {}

  // The first rule that `frame` breaks as the next frame.
  Verdict Check(const FrameMark& frame) const;
  // Takes `frame` as the next frame. It must have passed Check, or come
  // from a writer that keeps the rules.
  void Accept(const FrameMark& frame);

  // The position the next standalone frame must carry; while a batch is
  // open, its begin.
  uint64_t expected() const { return expected_; }
  bool in_batch() const { return in_batch_; }

 private:
  Verdict CheckStandalone(uint64_t position) const;
  Verdict CheckBatchEvent(const FrameMark& frame) const;
  Verdict CheckCommit(const FrameMark& frame) const;
  bool checks_membership() const { return membership_ == Membership::kChecked; }

  Membership membership_;
  uint64_t expected_;
  bool in_batch_ = false;
  uint64_t batch_begin_ = 0;
  format::BatchId batch_id_;
  uint32_t batch_events_ = 0;
};

}  // namespace corvantine::log::sequence
