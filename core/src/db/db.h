// The core database: one open database directory. It owns the log, the
// stream catalog (streams, revisions, event ids, idempotency keys, receipts)
// and the branch catalog, and appends atomic batches with expected-revision
// checks, idempotent retries and group commit. It is used from one thread.
//
// Both catalogs follow the log: whatever reached a segment file is in them,
// even when the flush that was to make it durable failed (the log then
// refuses every later write until it is reopened). The stream catalog is
// checkpointed in "core-catalog.bin" (db/checkpoint.h), which is derived
// data: a failure to write it warns on stderr and fails nothing.
//
// Open takes the catalogs from the newest of: the retention anchor the
// manifest names (retention/retention.h), a valid checkpoint, or the empty
// catalog at position 0; and brings them up to the log head from the log.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "branch/branch.h"
#include "branch/catalog.h"
#include "db/read.h"
#include "db/retention_plan.h"
#include "error/error.h"
#include "format/ids.h"
#include "log/log.h"
#include "log/reader.h"
#include "platform/system.h"
#include "retention/anchor.h"
#include "snapshot/error.h"
#include "stream/catalog.h"
#include "stream/stream.h"

namespace corvantine::db {

namespace testing {
struct LogAccess;
}  // namespace testing

struct CheckpointFile;

inline constexpr size_t kMaxBatchEvents = 4096;
// The payload format word of every appended event record.
inline constexpr uint32_t kEventPayloadFormat = 0x80000001;

// Group-commit thresholds; an append commits when it asks for sync or when a
// set threshold is reached. With none set, only sync appends, Commit(), fork
// and archive commit.
struct CommitPolicy {
  std::optional<uint64_t> commit_every_bytes;   // payload bytes since the last commit
  std::optional<uint64_t> commit_every_count;   // events since the last commit
  std::optional<uint64_t> commit_every_millis;  // since the last commit (or open)
};

struct Options {
  // Monotonic nanoseconds, for commit_every_millis; tests inject their own.
  std::function<uint64_t()> monotonic_nanos = platform::MonotonicNanos;
};

// What the database keeps of the retention anchor it accepted: everything
// but the catalogs, which became its own.
struct VerifiedAnchor {
  format::DatabaseId database_id;
  uint64_t floor = 0;
  uint64_t head = 0;
  uint32_t checksum = 0;
  std::vector<retention::RetentionProjectionCoverage> projection_coverage;
  std::vector<retention::RetentionBranchBootstrap> branch_bootstraps;
  std::vector<retention::RetentionConsumerBootstrap> consumer_bootstraps;
  std::vector<retention::AnchoredSystemRecord> system_records;
};

// Wall-clock milliseconds since the Unix epoch; 0 before it.
uint64_t CurrentTimestampMs();
// CurrentTimestampMs() in nanoseconds, saturating at the largest i64: the
// timestamp of appended events and of branch records.
int64_t CurrentTimestampNanos();

class Corvantine {
 public:
  // Opens (or creates) the database in `directory`:
  //   1. opens the log (its errors unchanged) with the given segment size
  //      target, 64 MiB by default, and flushes the active segment once, so
  //      that the head it declares durable is. The manifest's database id,
  //      which has no checksum of its own, must be the one the oldest record
  //      carries (Log::OldestEnvelope; an empty log has none): else Manifest
  //      "database_id {id} differs from the database id {record's id} of the
  //      records in the log", ids as JSON arrays of their 16 bytes;
  //   2. loads the anchor the manifest names (retention::LoadAuthoritative)
  //      and accepts it when it passes retention::ValidateForOpen (its head
  //      may lie below the log head) and carries the manifest's checksum, if
  //      one is named. The anchor the manifest names must carry the
  //      manifest's floor, which has no checksum of its own: else Manifest
  //      "retention_floor {floor} differs from the floor {anchor floor} of
  //      the retention anchor it names". An anchor that cannot be read fails
  //      the open with its error when the manifest names a checksum or the
  //      log no longer starts at position 0, and otherwise warns
  //      "corvantine: ignoring non-authoritative retention anchor: {error}".
  //      A missing or refused anchor fails with InvalidFormat "manifest has
  //      no matching authoritative retention anchor" when the manifest names
  //      a checksum, else with "retained database has no compatible
  //      authoritative core anchor" when the log no longer starts at 0, else
  //      is ignored;
  //   3. the stream catalog starts from the newer of the accepted anchor's
  //      and a valid checkpoint's, else empty at 0, and applies every event
  //      from there to the log head; a catalog not taken from an exact
  //      checkpoint is checkpointed (unless an anchor was accepted);
  //   4. the branch catalog is the anchor's, else the default branch alone,
  //      with every branch record of the log applied to it.
  // A checkpoint ahead of the log (its tail was cut) is removed before step
  // 2. An anchor or a checkpoint serves as a base only when the batch its
  // catalog ends with is in the log just below its head, at the positions
  // and under the batch id its receipt records, else it describes another
  // history (a tail cut below its head, then written over): the anchor is
  // refused, the checkpoint passed over as a damaged one is. An anchor whose
  // last batch retention removed is taken on its checksum. Only that one
  // batch is read. A failure after step 1 releases the directory lock again.
  static Result<std::unique_ptr<Corvantine>> OpenInternal(const std::string& directory,
                                                          CommitPolicy policy,
                                                          std::optional<uint64_t> max_segment_bytes,
                                                          Options options = {});

  Corvantine(const Corvantine&) = delete;
  Corvantine& operator=(const Corvantine&) = delete;
  // Checkpoints the catalog when everything appended is committed and the
  // checkpoint is behind; makes no commit of its own.
  ~Corvantine();

  // Appends `request` as one atomic batch, under `batch_id` when given
  // (replication passes its source's), else a fresh one. Checks, in order,
  // nothing being written unless all pass:
  //   1. 1 to 4096 events (InvalidArgument "append batch must contain at
  //      least one event", ResourceLimit "batch event count");
  //   2. no caller metadata under a key the append writes (CheckCallerMetadata);
  //   3. the branch exists (BranchNotFound, hex id) and is active
  //      (BranchArchived, name);
  //   4. with an idempotency key already used on the branch: the same
  //      request digest returns the stored receipt, another one is
  //      IdempotencyConflict;
  //   5. the expected revision (RevisionConflict with the debug texts, e.g.
  //      "NoStream" and "Some(StreamRevision(3))");
  //   6. event ids: one stored with other content, or repeated in the batch
  //      with other content, is EventIdConflict; a batch whose caller-given
  //      ids are stored is a retry, returning the stored receipt when every
  //      event carries a given id stored with the same content by one batch
  //      of the same stream on the same branch, holding as many events
  //      (else EventIdConflict), of the same batch id, if one is given (else
  //      BatchIdConflict);
  //   7. a batch id that holds a batch already is BatchIdConflict.
  // A retry asking for sync commits first when its receipt was not synced,
  // and returns it marked synced. Then the batch is written with the system
  // metadata keys, and committed when it asks for sync or a threshold is
  // reached (in a commit group, the commit is marked); the receipt says
  // synced, flushed (asked for, not committed) or buffered. A failed write
  // changes nothing; a failed commit returns its Io error with the batch
  // written and recorded.
  Result<stream::AppendReceipt> AppendBatchWithId(stream::AppendRequest request,
                                                  std::optional<format::BatchId> batch_id);

  // Appends a batch replicated from another database under its source's
  // batch id, as AppendBatchWithId does, except that its events keep the
  // metadata they carry, the keys the append writes included (only those
  // missing are added), and that a batch carrying an idempotency key and its
  // 4-byte request digest is recorded under them: a retry is then answered
  // as the source would answer it.
  Result<stream::AppendReceipt> IngestBatch(stream::AppendRequest request,
                                            const format::BatchId& batch_id);

  // Flushes the active segment and makes the log head durable; the
  // checkpoint is rewritten once the log has grown by half its size since
  // the last one. Returns the durable head. A failed flush is Io and changes
  // nothing (the log refuses later writes). In a commit group it only marks
  // the commit and returns the durable head as it stands.
  Result<uint64_t> Commit();

  // Group commit across appends. Between BeginCommitGroup() and
  // EndCommitGroup(), a commit that an append or Commit() makes is only
  // marked: receipts, the receipts the catalog stores and the thresholds'
  // counts move as the commit would move them, but the flush, the durable
  // head and the checkpoint wait for EndCommitGroup, which makes every
  // marked commit durable with one flush. Appends that would each flush so
  // share one, and each returns what it would have returned had its own
  // commit run at once and succeeded.
  void BeginCommitGroup();
  // Ends the group. When a commit was marked, flushes; then moves the
  // durable head to the head at the last mark (what was appended after it
  // stays uncommitted) and rewrites the checkpoint as Commit() does. A failed
  // flush is Io and moves nothing (the log refuses later writes); retries
  // then find the receipts it left marked synced as their own failed
  // commits would have left them.
  Result<> EndCommitGroup();
  // Whether an append of the open group that returned `receipt` stands only
  // if the group's flush succeeds: its receipt is marked synced, or it was
  // written after a commit was marked (a failed flush of that commit would
  // have refused the write). The caller fails such an append with the
  // flush's error.
  bool AwaitsGroupFlush(const stream::AppendReceipt& receipt) const;

  // The accepted anchor's system records, then the log's standalone system
  // records in position order, as (event type, payload).
  Result<std::vector<retention::AnchoredSystemRecord>> SystemMetadata() const;

  // Plans a read of the log as the request's branch sees it. Checks, in
  // order: a Modulo partition with count 0 or index >= count ->
  // InvalidArgument "partition class {index} of {count} is not a valid
  // partition"; until beyond the head -> OffsetBeyondHead; until, then the
  // first position, below the retention floor -> PositionUnavailable; the
  // errors of BranchCatalog::ReplayScopes. A start at or after until gives
  // an empty read. The reader must not outlive the database.
  Result<log::reader::LogReader> Read(ReadRequest request) const;

  // Compares two branches (archived ones too) from their common ancestor:
  // the partition check of Read, each until against the head, BranchNotFound
  // for either side, BranchCatalog::Divergence's errors, and a divergence
  // below the floor -> PositionUnavailable. The shared read runs from the
  // floor to the divergence, each side's from there to its until.
  Result<BranchDiff> Diff(const DiffRequest& request) const;

  // Creates branch `name` from `parent` (archived parents too) at
  // `position`, which must lie from the floor up to the head
  // (OffsetBeyondHead, PositionUnavailable) on a batch boundary
  // (NotBatchBoundary), and pass BranchCatalog::Insert. Writes the
  // "corvantine.branch.created" record, adds the branch to the catalog,
  // then commits; a failed commit returns its error with the branch created.
  Result<branch::BranchInfo> ForkBranch(const format::BranchId& parent, uint64_t position,
                                        std::string name, branch::BranchMetadata metadata);

  // Archives a branch: BranchNotFound, InvalidArgument "the default branch
  // cannot be archived"; an archived branch is returned as it is. Otherwise
  // writes the "corvantine.branch.archived" record, archives it in the
  // catalog, then commits as ForkBranch does.
  Result<branch::BranchInfo> ArchiveBranch(const format::BranchId& id);

  // Writes one standalone system record of the engine: `event_type`
  // (EventType::New's errors, nothing written), `payload`, a fresh id as
  // event and batch id, this database's id, the default branch and
  // timestamp 0. It is framed at the head and takes no position. Then
  // commits as Commit() does, which makes every event appended before it
  // durable as well. A failed write changes nothing; a failed commit
  // returns its Io error with the record written but not durable.
  Result<> AppendSystemRecord(std::string_view event_type, std::string_view payload);

  // Retention (db/retention_plan.h). Plans moving the floor to `requested`:
  //   1. beyond the durable head -> OffsetBeyondHead;
  //   2. below the current floor -> InvalidArgument "retention floor cannot
  //      move backward from {current} to {requested}";
  //   3. the effective floor and reclaimable segments of
  //      Log::RetentionBoundaryFor;
  //   4. blockers: EngineAnchorUnavailable unless the verified anchor is
  //      this database's at exactly the effective floor and durable head;
  //      then, in catalog order, BranchRequiresBootstrap for each branch
  //      forked below the effective floor without a matching bootstrap.
  // The plan gets a fresh id and the manifest's generation.
  Result<RetentionPlan> PlanRetention(uint64_t requested) const;

  // Chooses the floor by `policy` (D the durable head, C the current floor)
  // and plans at it; a read or planning error is the preview's:
  //   keep_from: `value`;
  //   keep_latest_events: KeepLatestFloor(D, C, value);
  //   keep_newer_than: the lowest position below D of a record from C on
  //     whose timestamp is at or after `value` read as an i64, else D;
  //   target_log_bytes: Log::RetentionFloorForBytes, whose flag says
  //     whether the target is met (always met for the others).
  Result<RetentionPolicyPreview> PreviewRetentionPolicy(RetentionPolicy policy,
                                                        uint64_t value) const;

  // Applies a plan the caller has just re-made and found equal to the one
  // it handed out, with no blockers. Checks, each InvalidArgument:
  //   the durable head is `head` ("retention plan is stale because durable
  //   head changed"); there is a verified anchor ("retention plan has no
  //   verified anchor") for `floor` and `head` ("retention plan anchor
  //   identity is stale"); `floor` is a segment base or the current floor
  //   ("retention floor {floor} is not a segment boundary").
  // Then re-reads the anchor file, which must carry the verified anchor's
  // checksum (else its read error, or InvalidFormat "retention anchor file
  // does not match the verified anchor"); makes any appended events
  // durable, so that the manifest never names a head beyond the durable
  // log; switches the manifest to `floor` and the anchor's checksum
  // (Log::ActivateRetention, whose error changes nothing); removes the
  // previous anchor copy, which the manifest no longer names (a failure only
  // warns); and removes the segment files below the floor. Crash points
  // before_manifest_switch, after_manifest_switch, during_cleanup (per
  // file), after_cleanup.
  Result<RetentionApplyResult> ApplyRetentionPrevalidated(uint64_t floor, uint64_t head);

  // Publishes `anchor` (retention::Publish, naming the manifest's checksum)
  // and adopts it: its catalogs become the database's and it becomes the
  // verified anchor. On failure nothing changes. The anchor must be this
  // database's at the durable head, with catalogs that hold its history.
  Result<retention::RetentionAnchorInfo> PublishRetentionAnchor(
      retention::CoreRetentionAnchor anchor);

  // Commits, then captures everything at the durable head in an anchor for
  // the effective floor of a plan at `keep_from` (PlanRetention's errors;
  // its blockers stop nothing), publishes it and adopts it as
  // PublishRetentionAnchor does, with the given coverage and bootstraps.
  // The catalogs are the database's own, and the system records the
  // current anchor's followed by the log's, the latest per key
  // (retention/system_records.h): an anchor made after retention keeps all
  // the history the reclaimed log held. The commit stands when a later step
  // fails; nothing else changes then.
  Result<retention::RetentionAnchorInfo> CreateRetentionAnchorWithAllCoverage(
      uint64_t keep_from, std::vector<retention::RetentionProjectionCoverage> coverage,
      std::vector<retention::RetentionBranchBootstrap> branch_bootstraps,
      std::vector<retention::RetentionConsumerBootstrap> consumer_bootstraps);

  // Whether the verified anchor proves that the projection can be restored
  // from snapshots: an entry of its coverage with this name, fingerprint and
  // branch, a cursor at the anchor's head and `partitions` snapshot ids, each
  // of which verifies now (snapshot::Verify) with that name, fingerprint,
  // branch and cursor, `partitions` as its partition count (absent: 1) and a
  // partition index (absent: 0) no earlier one of the entry has. A snapshot
  // file that cannot be read is the error, not a gap in the coverage.
  snapshot::SnapshotResult<bool> HasRetentionProjectionCoverage(
      std::string_view name, const format::IdBytes& fingerprint, const format::BranchId& branch,
      uint32_t partitions) const;

  // The checkpoint of the first bootstrap in the anchor in force for the
  // consumer or branch whose CRC-32C is its checksum, whatever its floor;
  // nothing without one.
  std::optional<std::string> RetentionConsumerBootstrap(std::string_view consumer_id) const;
  std::optional<std::string> RetentionBranchBootstrap(const format::BranchId& branch) const;

  // A read of every branch's events at positions [from, to), without the
  // checks of Read: feeds follow the whole log. It must not outlive the
  // database.
  log::reader::LogReader ReadAllBranches(uint64_t from, uint64_t to) const;
  // The closed segments below the floor that are not reclaimed yet, as
  // (base, size in bytes).
  std::vector<std::pair<uint64_t, uint64_t>> UnreclaimedSegments() const;

  const std::string& directory() const { return directory_; }
  // The next position the log will write.
  uint64_t head() const { return log_->head(); }
  uint64_t retention_floor() const { return log_->retention_floor(); }
  uint64_t retention_generation() const { return log_->retention_generation(); }
  const format::DatabaseId& database_id() const { return log_->database_id(); }
  const stream::StreamCatalog& stream_catalog() const { return streams_; }
  const branch::BranchCatalog& branch_catalog() const { return branches_; }
  const CommitPolicy& commit_policy() const { return policy_; }
  // The log head as it stood at the last commit (or open).
  uint64_t durable_head() const { return durable_head_; }
  const std::optional<VerifiedAnchor>& verified_anchor() const { return verified_anchor_; }
  // The anchor whose bootstraps are served now, the same in a live session
  // as after a reopen: the one the manifest names, while a newer anchor is
  // published but not applied; else (the manifest names the verified anchor,
  // or none before the first apply) the verified anchor. Nothing when there
  // is none.
  const VerifiedAnchor* anchor_in_force() const;

 private:
  friend struct testing::LogAccess;  // tests look at the log underneath

  // A checkpoint on disk: its head, its size, and appended_bytes_ when it
  // was written (0 for one adopted at open).
  struct CheckpointMark {
    uint64_t head = 0;
    uint64_t file_bytes = 0;
    uint64_t appended_bytes = 0;
  };
  // What open assembles before the database exists.
  struct Catalogs {
    std::optional<VerifiedAnchor> verified_anchor;
    stream::StreamCatalog streams;
    branch::BranchCatalog branches;
    std::optional<CheckpointMark> checkpoint;  // when the streams are exactly a checkpoint's
  };
  // Where the active segment ends; what a write appended is measured from it.
  struct LogEnd {
    uint64_t base = 0;
    uint64_t length = 0;
  };

  Corvantine(std::string directory, CommitPolicy policy, Options options,
             std::unique_ptr<log::Log> log, Catalogs catalogs);

  // `read` is the checkpoint file as ReadCoreCatalog found it.
  static Result<Catalogs> LoadCatalogs(const std::string& directory, log::Log& log,
                                       std::optional<CheckpointFile> read);

  // Append steps; see append.cc. Whose metadata a batch carries: a caller's
  // may not hold the keys the append writes, a replica's holds its source's.
  enum class MetadataOrigin { kCaller, kReplica };
  Result<stream::AppendReceipt> Append(stream::AppendRequest request,
                                       std::optional<format::BatchId> batch_id,
                                       MetadataOrigin origin);
  // The checks before any lookup: batch size, caller metadata, branch.
  Result<> CheckTarget(const stream::AppendRequest& request, MetadataOrigin origin) const;
  Result<stream::AppendReceipt> ReturnStored(stream::AppendReceipt receipt,
                                             stream::RequestDurability durability);
  // What a stored receipt says now: a receipt that a failed group flush
  // left marked synced says what its own failed commit would have left.
  stream::ReceiptDurability StoredDurability(const stream::AppendReceipt& receipt) const;
  bool CommitDue(stream::RequestDurability durability) const;
  // The commit of the batch `batch` just written, asked for with
  // `requested`: in a group, marks it and remembers what the batch's
  // receipt would say if the group's flush failed.
  Result<> CommitBatch(const format::BatchId& batch, stream::RequestDurability requested);

  // Makes everything appended durable (Log::SyncActive) and moves the
  // durable head up to the head: Commit without its checkpoint.
  Result<> MakeDurable();
  // MakeDurable(), or in a group the mark of a commit.
  Result<> CommitOrMark();
  void MarkCommit();
  // What a commit restarts: the thresholds' counts and clock.
  void ResetCommitCounters();
  // Skipped in a group, whose end rewrites it.
  void PersistCheckpointIfDue();
  // Writes the checkpoint at the durable head; a failure only warns.
  void PersistCheckpoint();
  // As PersistCheckpoint, a failure being the error.
  Result<> WriteCheckpoint();

  // The positions of a read of the streams named `name` on the scopes,
  // within [from, until), from the position index; see branches.cc.
  std::vector<log::reader::PositionRange> StreamPositions(
      const std::vector<branch::ReplayScope>& scopes, std::string_view name, uint64_t from,
      uint64_t until) const;

  // Fork and archive steps; see branches.cc.
  Result<> CheckBatchBoundary(uint64_t position) const;
  Result<> WriteSystemRecord(std::string_view event_type, const format::BranchId& branch,
                             int64_t timestamp_unix_nanos, std::string_view payload);

  // Retention steps; see retention_plan.cc.
  std::vector<RetentionBlocker> PlanBlockers(uint64_t effective_floor) const;
  // The anchor file on disk is the verified anchor, by its checksum.
  Result<> CheckAnchorFile() const;
  void RemovePreviousAnchor() const;
  // Before an anchor with `checksum` becomes the verified one: keeps the
  // bootstraps of the one the manifest names, unless that is the new one.
  void KeepNamedAnchor(uint32_t checksum);
  // What a new anchor carries of the engine's system history.
  Result<std::vector<retention::AnchoredSystemRecord>> AnchoredSystemRecords() const;
  snapshot::SnapshotResult<bool> CoverageHolds(const retention::RetentionProjectionCoverage& entry,
                                               uint32_t partitions) const;

  LogEnd End() const;
  void CountAppendedSince(LogEnd end);

  std::string directory_;
  CommitPolicy policy_;
  Options options_;
  std::unique_ptr<log::Log> log_;
  std::optional<VerifiedAnchor> verified_anchor_;
  // The anchor the manifest names while a newer one is the verified anchor,
  // kept for its bootstraps only (no coverage, no system records).
  std::optional<VerifiedAnchor> named_anchor_;
  stream::StreamCatalog streams_;
  branch::BranchCatalog branches_;

  uint64_t last_commit_nanos_ = 0;
  uint64_t uncommitted_bytes_ = 0;   // payload bytes appended since the last commit
  uint64_t uncommitted_events_ = 0;  // events appended since the last commit
  uint64_t durable_head_ = 0;

  // The commit group, while one is open, and the heads at its first and its
  // last marked commit once one is marked.
  struct MarkedCommits {
    uint64_t first_head = 0;
    uint64_t last_head = 0;
  };
  bool in_group_ = false;
  std::optional<MarkedCommits> marked_;
  // The batches whose stored receipts the open group's marks made synced,
  // each with the durability a failed commit would have left; after a
  // failed group flush, those that retries report.
  using ReceiptFallback = std::pair<format::BatchId, stream::ReceiptDurability>;
  std::vector<ReceiptFallback> marked_receipts_;
  std::vector<ReceiptFallback> unflushed_receipts_;

  // Log bytes written through this database since open.
  uint64_t appended_bytes_ = 0;
  // The last checkpoint this database wrote or adopted, if any.
  std::optional<CheckpointMark> checkpoint_;
  // Metadata entries of written batches, kept for the next batches' system
  // entries: every event carries at least one, and reusing their storage
  // spares an allocation and a free per entry.
  std::vector<format::Metadata::node_type> spare_metadata_;
};

}  // namespace corvantine::db
