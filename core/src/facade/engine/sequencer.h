// The sequencer: the engine's one worker thread. It owns the database and
// every piece of engine state, and executes the commands of all handles one
// at a time, in arrival order; nothing else touches that state, so none of
// it is locked. There is no timer: group commit is decided inside appends.
//
// The appends that arrive one after the other, with no other command
// between them, form a commit group (db::Corvantine::BeginCommitGroup):
// the commits they make share one flush at the group's end, when no append
// is queued behind them or another command comes. Each append still gets
// what it would have got executed alone: one whose answer depends on that
// flush is answered after it, with the flush's error if it failed, and
// every other command finds the state the appends one by one would leave.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/db.h"
#include "facade/engine/channel.h"
#include "facade/engine/command.h"
#include "facade/engine/engine.h"
#include "facade/engine/error.h"
#include "facade/engine/feed_signal.h"
#include "facade/feed/feeds.h"
#include "facade/view/projections.h"
#include "facade/engine/records.h"
#include "facade/retention/retention_state.h"

namespace corvantine::facade {

// What an engine's handles share with its sequencer thread. The thread holds
// this, never a handle, so dropping the last handle can join it.
struct EngineShared {
  MessageQueue<Command> commands;
  FeedSignal feed;
  std::atomic<bool> panicked{false};  // the thread ended by an exception
};

// The body of the sequencer thread. Blocks every asynchronous signal (a
// Ctrl+C is never taken here, so it cannot interrupt the engine's I/O),
// names the thread, opens the database and reports on `ready`, then
// executes commands until a Shutdown. At the end it drops the database,
// which releases the directory lock, before anything else is answered:
// the commands queued behind the Shutdown and those sent later find the
// engine closed. An exception that escapes start-up or a handler ends the
// thread the same way, with `panicked` set.
void RunSequencer(OpenConfig config, std::shared_ptr<EngineShared> shared,
                  ReplySender<EngineResult<>> ready);

namespace testing {

// Makes the next start-up (once its database is open) or command handler of
// any engine in the process throw, as a defect would.
void ThrowAtNextStep();

}  // namespace testing

// Page events outside 1..4096 ("page events"), then page bytes outside
// 1..16 MiB ("page bytes"): "resource_limit".
EngineResult<> CheckPageLimits(uint32_t page_events, uint64_t page_bytes);

class Sequencer {
 public:
  // Opens the database and publishes its durable head. On failure nothing
  // stays open.
  static EngineResult<std::unique_ptr<Sequencer>> Start(const OpenConfig& config,
                                                        FeedSignal& feed);

  Sequencer(const Sequencer&) = delete;
  Sequencer& operator=(const Sequencer&) = delete;

  // Executes commands in arrival order until a Shutdown, which it
  // acknowledges. `batch` receives the commands taken from the queue; those
  // behind the Shutdown are left in it.
  void Run(MessageQueue<Command>& commands, std::vector<Command>& batch);

 private:
  struct ReaderState {
    format::BranchId branch;
    std::optional<std::string> stream;
    uint64_t end = 0;  // fixed when the reader opens
    uint64_t page_bytes = 0;
    uint32_t page_events = 0;
    uint64_t position = 0;  // where the next page starts
    bool cancelled = false;
    // The read that the last page stopped in, kept so that the next page
    // goes on from there instead of scanning the log again; absent before
    // the first page and after an error.
    std::optional<log::reader::LogReader> log_reader;
    // A record the read handed out that did not fit the last page: the
    // first of the next one.
    std::optional<RecordDto> held;
  };

  Sequencer(std::unique_ptr<db::Corvantine> db, FeedSignal& feed, const OpenConfig& config);

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

  // Executes one command and answers it, or holds the answer of an append;
  // false for a Shutdown. Every command but an append ends the open commit
  // group first.
  bool Execute(Command& command);
  bool Execute(command::Shutdown& shutdown);
  bool Execute(command::Append& append);
  template <typename C>
  bool Execute(C& command);

  // Commit groups (append.cc). Adds an append to the open group, opening
  // one if needed; answers it at once unless its answer must wait for the
  // group's flush or follow one that does.
  void AppendToGroup(command::Append& append);
  // Flushes the open group, if any, and sends the answers it held.
  void EndAppendGroup();
  void OpenAppendGroup();
  // Whether callers that recent flushes answered may be about to join the
  // open group: fewer answers wait for its flush than are expected. Callers
  // answered at once come back one after the other, so the sequencer then
  // waits for them, up to as long after the group opened as the last flush
  // took, rather than flush for the first alone.
  bool ExpectsMoreWaiters() const;
  // Ends the database's commit group; when answers wait for its flush,
  // notes how long it took and how many waited.
  EngineResult<> FlushGroup();
  // The held answers that stood on the group's failed flush get its error.
  void FailAwaitingAnswers(const EngineError& error);
  // Drives the views over what the held answers appended, once the durable
  // head has moved.
  void AfterHeldAppends();

  // The handlers, each answering one command (append.cc, branches.cc,
  // readers.cc).
  EngineResult<uint64_t> Handle(command::Commit& command);
  EngineResult<uint64_t> Handle(command::Head& command);
  EngineResult<uint64_t> Handle(command::DurableHead& command);
  EngineResult<uint64_t> Handle(command::UncommittedCount& command);
  EngineResult<uint64_t> Handle(command::RetentionFloor& command);
  EngineResult<BranchDto> Handle(command::Fork& command);
  EngineResult<BranchDto> Handle(command::BranchNamed& command);
  EngineResult<std::vector<BranchDto>> Handle(command::Ancestry& command);
  EngineResult<BranchDto> Handle(command::Archive& command);
  EngineResult<DiffDto> Handle(command::Diff& command);
  EngineResult<ReaderHandle> Handle(command::OpenReader& command);
  EngineResult<ReplayPage> Handle(command::NextPage& command);
  EngineResult<> Handle(command::CancelReader& command);
  EngineResult<> Handle(command::CloseReader& command);
  // Queries and snapshots (views.cc): each hands its command to projections_.
  EngineResult<QueryHandle> Handle(command::RegisterQuery& command);
  EngineResult<QueryHandle> Handle(command::RegisterProjection& command);
  EngineResult<bool> Handle(command::RemoveQuery& command);
  EngineResult<QueryHandle> Handle(command::QueryNamed& command);
  EngineResult<QueryResult> Handle(command::QueryConsistent& command);
  EngineResult<QueryResult> Handle(command::QueryPartitions& command);
  EngineResult<ProjectionStatus> Handle(command::QueryStatus& command);
  EngineResult<std::vector<PartitionStatus>> Handle(command::PartitionStatuses& command);
  EngineResult<SnapshotInfo> Handle(command::CreateSnapshot& command);
  EngineResult<SnapshotInfo> Handle(command::CreatePartitionSnapshot& command);
  EngineResult<std::vector<SnapshotInfo>> Handle(command::ListSnapshots& command);
  EngineResult<SnapshotInfo> Handle(command::VerifySnapshot& command);
  EngineResult<bool> Handle(command::DeleteSnapshot& command);
  EngineResult<> Handle(command::DeleteAllDerivedState& command);
  EngineResult<> Handle(command::RebuildProjection& command);
  // Feeds and replicated batches (feed_commands.cc).
  OpenFeedResult Handle(command::OpenFeed& command);
  EngineResult<FeedPage> Handle(command::NextFeedPage& command);
  EngineResult<uint64_t> Handle(command::AcknowledgeFeed& command);
  EngineResult<> Handle(command::CancelFeed& command);
  EngineResult<> Handle(command::CloseFeed& command);
  EngineResult<> Handle(command::ClearConsumer& command);
  EngineResult<AppendReceiptDto> Handle(command::IngestBatch& command);
  // Feed bootstraps (feed_bootstrap_commands.cc).
  EngineResult<std::string> Handle(command::FetchFeedBootstrap& command);
  EngineResult<FeedHandle> Handle(command::ResumeFeed& command);
  // Retention (retention_commands.cc).
  EngineResult<RetentionStatusDto> Handle(command::RetentionStatus& command);
  EngineResult<RetentionPlan> Handle(command::PlanRetention& command);
  EngineResult<RetentionPolicyPreview> Handle(command::PlanRetentionPolicy& command);
  EngineResult<RetentionAnchorInfo> Handle(command::CreateRetentionAnchor& command);
  EngineResult<RetentionApplyResult> Handle(command::ApplyRetention& command);
  EngineResult<uint64_t> Handle(command::RegisterBranchBootstrap& command);
  EngineResult<uint64_t> Handle(command::RegisterConsumerBootstrap& command);
  EngineResult<std::optional<std::string>> Handle(command::BranchBootstrap& command);
  EngineResult<std::optional<std::string>> Handle(command::ConsumerBootstrap& command);

  // Writes an append without driving the views. A batch replicated from
  // another database names its source's batch id, under which it is
  // ingested (db::Corvantine::IngestBatch).
  EngineResult<WrittenAppend> Write(AppendBatch batch,
                                    std::optional<BatchId> source_batch = std::nullopt);
  EngineResult<ReplayPage> ReadPage(ReaderState& reader) const;
  EngineResult<std::optional<RecordDto>> NextRecord(ReaderState& reader) const;
  EngineResult<ReaderState*> FindReader(ReaderHandle handle);

  // Tells feed waiters where the durable head is now; after every command,
  // before its answer goes out, since appends, commits and system records
  // all may move it.
  void PublishDurableHead();

  // Retention (retention_commands.cc): the engine's blockers, appended to a
  // plan of the database in the order projections, consumers, handles.
  EngineResult<> AddEngineBlockers(RetentionPlan& plan) const;
  // A plan at `keep_from` with the engine's blockers.
  EngineResult<RetentionPlan> PlanWithBlockers(uint64_t keep_from) const;
  // The effective floor of a plan at `keep_from`.
  EngineResult<uint64_t> EffectiveFloor(uint64_t keep_from) const;

  // Declared in the reverse of the order they are dropped in at shutdown:
  // queries first, then retention state, feeds and checkpoints, readers,
  // the database, and last the open commit group, so that the callers of
  // answers it holds when the thread ends by an exception find the engine
  // closed only once the directory lock is free.
  bool in_append_group_ = false;
  std::vector<HeldAnswer> held_answers_;  // in arrival order
  size_t expected_waiters_ = 0;
  std::chrono::steady_clock::time_point group_opened_;
  std::chrono::nanoseconds last_flush_nanos_{0};
  std::unique_ptr<db::Corvantine> db_;
  FeedSignal& feed_;
  std::unordered_map<ReaderHandle, ReaderState> readers_;
  uint64_t next_handle_ = 1;  // shared by readers, feeds and queries
  Feeds feeds_{next_handle_};
  RetentionState retention_;
  Projections projections_;
};

}  // namespace corvantine::facade
