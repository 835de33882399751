// The write road. The appends that arrive one after the other, with no
// other command between them, form a commit group
// (db::Corvantine::BeginCommitGroup): the commits they make share one flush
// at the group's end, when no append is queued behind them or another
// command comes. Each append still gets what it would have got executed
// alone: one whose answer depends on that flush is answered after it, with
// the flush's error if it failed, and every other command finds the state
// the appends one by one would leave.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "db/db.h"
#include "facade/engine/channel.h"
#include "facade/engine/command.h"
#include "facade/engine/error.h"
#include "facade/engine/feed_signal.h"
#include "facade/engine/records.h"
#include "facade/view/projections.h"

namespace corvantine::facade {

class CommitGroup {
 public:
  // The views are driven over what the group's appends wrote.
  CommitGroup(db::Corvantine& db, FeedSignal& feed, Projections& projections)
      : db_(db), feed_(feed), projections_(projections) {}

  CommitGroup(const CommitGroup&) = delete;
  CommitGroup& operator=(const CommitGroup&) = delete;

  // Adds an append to the open group, opening one if needed; answers it at
  // once unless its answer must wait for the group's flush or follow one
  // that does.
  void AppendToGroup(command::Append& append);
  // Flushes the open group, if any, and sends the answers it held.
  void EndAppendGroup();
  // Whether callers that recent flushes answered may be about to join the
  // open group: fewer answers wait for its flush than are expected. Callers
  // answered at once come back one after the other, so the sequencer then
  // waits for them, until WaitDeadline (as long after the group opened as
  // the last flush took), rather than flush for the first alone.
  bool ExpectsMoreWaiters() const;
  std::chrono::steady_clock::time_point WaitDeadline() const {
    return group_opened_ + last_flush_nanos_;
  }

  // Tells feed waiters where the durable head is now; after every command,
  // before its answer goes out, since appends, commits and system records
  // all may move it.
  void PublishDurableHead();

  // The position queries.
  EngineResult<uint64_t> Handle(command::Commit& command);
  EngineResult<uint64_t> Handle(command::Head& command);
  EngineResult<uint64_t> Handle(command::DurableHead& command);
  EngineResult<uint64_t> Handle(command::UncommittedCount& command);
  // A replicated batch (feed/feed_commands.cc).
  EngineResult<AppendReceiptDto> Handle(command::IngestBatch& command);

 private:
  // An append's outcome with what the views' automatic snapshots count of
  // it.
  struct WrittenAppend {
    AppendReceiptDto receipt;
    uint64_t events = 0;
    uint64_t bytes = 0;
  };
  static EngineResult<AppendReceiptDto> ReceiptOf(EngineResult<WrittenAppend> outcome);
  // The answer of an append of the open commit group, held until the group
  // ends.
  struct HeldAnswer {
    ReplySender<EngineResult<AppendReceiptDto>> reply;
    EngineResult<WrittenAppend> outcome;
    bool awaits_flush = false;  // fails when the group's flush does
  };

  void OpenAppendGroup();
  // Ends the database's commit group; when answers wait for its flush,
  // notes how long it took and how many waited.
  EngineResult<> FlushGroup();
  // The held answers that stood on the group's failed flush get its error.
  void FailAwaitingAnswers(const EngineError& error);
  // Drives the views over what the held answers appended, once the durable
  // head has moved.
  void AfterHeldAppends();

  // Writes an append without driving the views. A batch replicated from
  // another database names its source's batch id, under which it is
  // ingested (db::Corvantine::IngestBatch).
  EngineResult<WrittenAppend> Write(AppendBatch batch,
                                    std::optional<BatchId> source_batch = std::nullopt);

  db::Corvantine& db_;
  FeedSignal& feed_;
  Projections& projections_;
  bool in_append_group_ = false;
  std::vector<HeldAnswer> held_answers_;  // in arrival order
  size_t expected_waiters_ = 0;
  std::chrono::steady_clock::time_point group_opened_;
  std::chrono::nanoseconds last_flush_nanos_{0};
};

}  // namespace corvantine::facade
