// The engine: the only way into an open database. Engine::Open starts the
// sequencer, one thread that owns the database and executes every operation
// in arrival order; an Engine is a cheap shared handle to it. Any number of
// threads may hold copies and call at once: each call sends one command and
// blocks until the sequencer answers. The handle checks no argument itself;
// every check happens on the sequencer.
//
// Once closed, every operation of every copy fails at once with the closed
// error ("engine_closed"), which is also what a caller gets when the
// sequencer is gone for any other reason. Dropping the last handle without
// Close stops the sequencer the same way. When Close returns, or the last
// handle is gone, the sequencer has ended and the directory lock is
// released; appends that no commit made durable stay as durable as the last
// commit made them.
//
// This header is the engine's whole public face: a caller outside the core,
// such as the Python module, includes it and util/ and nothing else. With it
// come the calls' arguments and replies and nothing of how they travel: the
// open configuration (open_config.h), the records (records.h: requests,
// replies, page limits and the ids, receipts and durability they carry;
// feed/feed_records.h: feed requests, pages and committed batches; the
// query records of view/query.h), the retention records
// (retention/retention_records.h), the error (error.h), the feed signal
// (feed_signal.h) and the wait hooks (wait_hooks.h) through which a caller
// holding a lock, such as an interpreter's, gives it up around a long wait.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "branch/branch.h"
#include "facade/engine/error.h"
#include "facade/engine/feed_signal.h"
#include "facade/engine/open_config.h"
#include "facade/engine/records.h"
#include "facade/engine/wait_hooks.h"
#include "facade/feed/feed_records.h"
#include "facade/retention/retention_records.h"
#include "facade/view/query.h"
#include "format/ids.h"

namespace corvantine::facade {

template <typename T>
class ReplySlot;  // where a caller waits for one answer (engine.cc)

// A page asked for before it is needed: the sequencer reads it while the
// caller works on the page before. Get() waits for the answer; a page
// dropped unread is waited for too, since the sequencer answers into it.
class PendingPage {
 public:
  PendingPage(PendingPage&&);
  PendingPage& operator=(PendingPage&&) = delete;
  ~PendingPage();

  // Once only.
  EngineResult<ReplayPage> Get();

 private:
  friend class Engine;
  using Reply = EngineResult<ReplayPage>;

  PendingPage() = default;

  std::unique_ptr<ReplySlot<Reply>> slot_;  // null once answered
  std::optional<Reply> answer_;             // an answer known without asking
};


class Engine {
 public:
  // Starts the sequencer on `config.path` and waits until it has opened the
  // database. Fails with the open's error (e.g. "locked", kind 3), with
  // "internal" and the system's text when no thread can be started, or with
  // "internal" "sequencer stopped during open" when it failed unexpectedly.
  static EngineResult<Engine> Open(OpenConfig config);

  // Stops the sequencer: commands queued before are executed, later ones
  // fail with the closed error. Returns once the sequencer has ended, also
  // when another thread's Close is doing the work; a second Close succeeds.
  // "internal" "sequencer panicked" when the sequencer ended by a defect.
  EngineResult<> Close() const;

  // Appends one batch. Refused before the database sees it: bodies summing
  // to more than 16 MiB ("batch payload") or one over 8 MiB ("payload"), both
  // "resource_limit"; a JSON-coded body that is not one JSON value nested at
  // most 128 deep ("invalid_json", the parser's message). Then the database's
  // checks and errors (stream name, idempotency key, batch size, branch,
  // expected revision, ids).
  EngineResult<AppendReceiptDto> Append(AppendBatch batch) const;
  // Makes everything appended durable; returns the new durable head.
  EngineResult<uint64_t> Commit() const;
  // The next position to be written, uncommitted events included.
  EngineResult<uint64_t> Head() const;
  EngineResult<uint64_t> DurableHead() const;
  // Events appended since the last commit.
  EngineResult<uint64_t> UncommittedCount() const;
  EngineResult<uint64_t> RetentionFloor() const;

  // Branches. Fork checks the name ("branch name must be nonempty and
  // contain no NUL", "branch name bytes"), then the database's fork rules.
  // Fork and Archive commit.
  EngineResult<BranchDto> Fork(const format::BranchId& parent, uint64_t position,
                               std::string name, branch::BranchMetadata metadata) const;
  // "not_found" "branch handle was not found" for an unknown name.
  EngineResult<BranchDto> BranchNamed(std::string name) const;
  // The branch's lineage, the default branch first and the branch last.
  EngineResult<std::vector<BranchDto>> Ancestry(const format::BranchId& branch) const;
  EngineResult<BranchDto> Archive(const format::BranchId& branch) const;
  // Compares two branches from their common ancestor; returns ready-made
  // reader requests for the shared history and for each side. Page limits
  // as for OpenReader.
  EngineResult<DiffDto> Diff(DiffRequest request) const;

  // Queries (views): JSON indexes, or projections with a runtime of their
  // own, kept up to date from durable events. Registering or removing one
  // writes a system record, which commits everything appended before it.
  // RegisterQuery: "query key field is empty", "partition count must be
  // between 1 and 4096" ("invalid_argument"); the same name and definition
  // again keep the handle and write nothing.
  EngineResult<QueryHandle> RegisterQuery(std::string name, QueryDefinition definition,
                                          uint32_t partition_count = 1) const;
  EngineResult<QueryHandle> RegisterProjection(ProjectionDescriptor descriptor,
                                               std::unique_ptr<ProjectionRuntime> runtime) const;
  // False for a name not registered.
  EngineResult<bool> RemoveQuery(std::string name) const;
  // "not_found" "query handle was not found" for an unknown name.
  EngineResult<QueryHandle> QueryNamed(std::string name) const;
  // Brings the query up to date for `consistency`, then answers; "projection"
  // for a runtime's failure, "projection_not_ready" when it cannot get there.
  EngineResult<QueryResult> Query(QueryHandle query, QueryOperation operation,
                                  QueryConsistency consistency = {}) const;
  // As Query, healing only the listed partitions ("invalid_argument" for an
  // empty list or an index out of range); the answer covers every partition.
  EngineResult<QueryResult> QueryPartitions(QueryHandle query, std::vector<uint32_t> partitions,
                                            QueryOperation operation,
                                            QueryConsistency consistency = {}) const;
  EngineResult<ProjectionStatus> QueryStatus(QueryHandle query) const;
  EngineResult<std::vector<PartitionStatus>> PartitionStatuses(QueryHandle query) const;
  // Rebuilds the query from the log, deleting its snapshots first. Once
  // retention has moved the floor above 0, it keeps the snapshots the
  // retention anchor names and restores from them ("conflict" for a query
  // the anchor does not cover).
  EngineResult<> RebuildProjection(QueryHandle query) const;

  // Snapshots of query state in <path>/derived/snapshots. CreateSnapshot
  // brings the query to the durable head first ("projection_not_ready"
  // "only a ready projection can be snapshotted" when it cannot), writes one
  // file per partition and returns the last.
  EngineResult<SnapshotInfo> CreateSnapshot(QueryHandle query) const;
  EngineResult<SnapshotInfo> CreatePartitionSnapshot(QueryHandle query, uint32_t partition) const;
  // Newest cursor first.
  EngineResult<std::vector<SnapshotInfo>> ListSnapshots(QueryHandle query) const;
  EngineResult<SnapshotInfo> VerifySnapshot(std::string id) const;
  // False when no snapshot has that id. Once the floor is above 0, the
  // snapshots the retention anchor names hold the only copy of the view
  // state below it: deleting one of them is "conflict".
  EngineResult<bool> DeleteSnapshot(std::string id) const;
  // Removes every snapshot; the queries keep their state. "conflict" once
  // the floor is above 0.
  EngineResult<> DeleteAllDerivedState() const;

  // Readers. OpenReader refuses page events outside 1..4096 ("page events")
  // and page bytes outside 1..16 MiB ("page bytes"), both "resource_limit",
  // then a range the database cannot read. The reader's start (by default
  // the retention floor) and end are fixed when it opens. A page takes
  // records in log order, skipping other streams: the first always, each
  // further one while the page has fewer than page events and its size
  // (body plus metadata values) stays within page bytes. Every page moves
  // the reader forward, so reading to `done` ends.
  EngineResult<ReaderHandle> OpenReader(ReaderRequest request) const;
  // "not_found" "reader handle was not found"; "cancelled" "reader was
  // cancelled".
  EngineResult<ReplayPage> NextPage(ReaderHandle reader) const;
  // NextPage without waiting for it. Ask for one page at a time.
  PendingPage RequestPage(ReaderHandle reader) const;
  // Makes the reader's later pages fail; it stays open until closed.
  EngineResult<> CancelReader(ReaderHandle reader) const;
  EngineResult<> CloseReader(ReaderHandle reader) const;

  // Feeds (facade/feeds.h has the rules). OpenFeed refuses page batches
  // outside 1..4096 and page bytes outside 1..16 MiB ("resource_limit"), a
  // start beyond the durable head or below the retention floor
  // ("position_unavailable") and a consumer id outside 1..1024 bytes.
  OpenFeedResult OpenFeed(FeedRequest request) const;
  // The feed's next page. When it is empty and `wait_millis` is given and
  // not 0, waits once, up to that long (at most a day), for the durable
  // head to move, then asks again; a wait that ran out returns the empty
  // page with `timed_out` set. A Close from any thread ends the wait with
  // the closed error.
  EngineResult<FeedPage> NextFeedPage(FeedHandle feed,
                                      std::optional<uint64_t> wait_millis = std::nullopt) const;
  // Stores the consumer's checkpoint at `position` (a position the feed
  // served since its last acknowledgement), or at the feed position, and
  // returns it; commits, unless the checkpoint is there already: then
  // nothing is written.
  EngineResult<uint64_t> AcknowledgeFeed(FeedHandle feed,
                                         std::optional<uint64_t> position = std::nullopt) const;
  EngineResult<> CancelFeed(FeedHandle feed) const;
  EngineResult<> CloseFeed(FeedHandle feed) const;
  // Forgets the consumer's checkpoint, durably.
  EngineResult<> ClearConsumer(std::string consumer_id) const;
  // Appends a committed batch of another database's feed with its batch id
  // and event ids, synced, after Append's limits and checks. "invalid_argument"
  // for a batch that is empty, whose positions do not span its events, whose
  // first event has no stream name ("replicated event has no stream name"),
  // whose envelopes disagree with it or whose events name other streams.
  // Ingesting a stored batch again returns its receipt.
  EngineResult<AppendReceiptDto> IngestBatch(CommittedBatch batch) const;

  // Feed bootstraps. OpenFeed's "position_unavailable" refusal may offer
  // one (FeedRefusal). Both calls check the descriptor against that
  // bootstrap: "not_found" "feed bootstrap handle was not found" when none
  // matches it, "feed_bootstrap_mismatch" "feed bootstrap descriptor does
  // not match the current retention generation" when a field differs.
  // FetchFeedBootstrap returns the checkpoint bytes; "resource_limit" ("feed
  // bootstrap bytes") when they are longer than `maximum_bytes`, or when that
  // is 0. ResumeFeed opens a feed for the descriptor's consumer and scope
  // starting at its resume_from, with OpenFeed's limits.
  EngineResult<std::string> FetchFeedBootstrap(FeedBootstrapDescriptor descriptor,
                                               uint64_t maximum_bytes) const;
  EngineResult<FeedHandle> ResumeFeed(FeedBootstrapDescriptor descriptor, uint32_t max_batches,
                                      uint64_t max_bytes) const;

  // Retention. A status or plan at `keep_from` (a status without one plans
  // at the durable head) lists the blockers in the order: anchor, branches,
  // projections (views the anchor's snapshots do not restore), consumers
  // (checkpoints below the floor without a bootstrap in the anchor), open
  // readers and feeds. A floor beyond the durable head is
  // "offset_beyond_head", one below the current floor "invalid_argument".
  // Plans are kept by id until applied; ApplyRetention makes the plan again
  // and refuses one that is unknown ("retention_plan_unknown"), no longer
  // matches ("retention_plan_stale": any commit, blocker, segment or apply
  // since) or still has blockers ("retention_blocked"); a refused plan stays
  // kept. Applying removes the segments below the floor for good.
  EngineResult<RetentionStatusDto> RetentionStatus(std::optional<uint64_t> keep_from) const;
  EngineResult<RetentionPlan> PlanRetention(uint64_t keep_from) const;
  // `value` is signed for kKeepNewerThan, carried as its 64-bit pattern.
  EngineResult<RetentionPolicyPreview> PlanRetentionPolicy(RetentionPolicy policy,
                                                           uint64_t value) const;
  // Commits, brings every view to the durable head and snapshots it, then
  // writes the anchor with the views' coverage and the bootstraps
  // registered for its floor. "maintenance_handles_open" while readers or
  // feeds are open; a view that cannot be snapshotted fails it with that
  // error ("projection_bootstrap_incomplete" when a partition has no
  // snapshot at the head). The commit stands when a later step fails. An
  // anchor that is not applied before the database closes is not kept.
  EngineResult<RetentionAnchorInfo> CreateRetentionAnchor(uint64_t keep_from) const;
  EngineResult<RetentionApplyResult> ApplyRetention(const format::IdBytes& plan_id) const;
  // Registering a bootstrap writes it as a system record (which commits) for
  // the effective floor of a plan at `keep_from`, and returns that floor; a
  // later registration for the same branch or consumer replaces it. Only an
  // anchor made afterwards for that floor hands it out. Checkpoints over
  // 8 MiB: "resource_limit" ("retention bootstrap bytes"); the record, the
  // checkpoint as a JSON array of numbers, must also fit a log frame.
  // RegisterBranchBootstrap: "unknown branch for retention bootstrap".
  EngineResult<uint64_t> RegisterBranchBootstrap(const format::BranchId& branch,
                                                 uint64_t keep_from,
                                                 std::string checkpoint) const;
  // With an empty scope, codec "opaque", version 1.
  EngineResult<uint64_t> RegisterConsumerBootstrap(std::string consumer_id, uint64_t keep_from,
                                                   std::string checkpoint) const;
  // Checks, in order: the consumer id ("consumer id must contain 1..=256
  // bytes"), the checkpoint's size, the codec ("bootstrap codec must contain
  // 1..=128 bytes").
  EngineResult<uint64_t> RegisterConsumerBootstrapForFeed(std::string consumer_id,
                                                          uint64_t keep_from, FeedFilter scope,
                                                          std::string codec,
                                                          uint32_t codec_version,
                                                          std::string checkpoint) const;
  // The checkpoint the current retention anchor holds, if any.
  EngineResult<std::optional<std::string>> BranchBootstrap(const format::BranchId& branch) const;
  EngineResult<std::optional<std::string>> ConsumerBootstrap(std::string consumer_id) const;

  // Published by the sequencer whenever the durable head may have moved.
  const FeedSignal& feed_signal() const;

 private:
  struct Inner;

  explicit Engine(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}

  // Queues `command` to answer into `slot`; false when the engine is closed.
  template <typename C>
  bool Send(C command, ReplySlot<typename C::Reply>* slot) const;
  // Sends `command` and waits for its answer, spinning for about `spin`
  // (by default the reply channel's spin) before sleeping.
  template <typename C>
  typename C::Reply Call(C command) const;
  template <typename C>
  typename C::Reply Call(C command, std::chrono::nanoseconds spin) const;

  std::shared_ptr<Inner> inner_;
};

}  // namespace corvantine::facade
