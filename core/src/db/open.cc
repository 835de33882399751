// Opening a database: where its catalogs come from, and how they are brought
// up to the log head.
#include <future>
#include <utility>

#include <fmt/format.h>

#include "db/checkpoint.h"
#include "db/db.h"
#include "retention/retention.h"
#include "util/warning.h"

namespace corvantine::db {

namespace {

constexpr char kNoMatchingAnchor[] = "manifest has no matching authoritative retention anchor";
constexpr char kNoCompatibleAnchor[] =
    "retained database has no compatible authoritative core anchor";

// The base of the oldest segment on disk: above 0 once retention removed
// the first one, and the log alone no longer tells the whole history.
uint64_t OldestBase(const log::Log& log) {
  const std::vector<log::SegmentMeta>& closed = log.closed_segments();
  return closed.empty() ? log.active_segment().base() : closed.front().base;
}

// Whether the log holds the events of `batch` at exactly the positions its
// receipt records, under its batch id. Reads that batch only.
Result<bool> LogHolds(const log::Log& log, const stream::AppendReceipt& batch) {
  const uint64_t end = batch.last_position + 1;
  log::reader::LogReader reader = log.PlanReader(AllEventsBetween(batch.first_position, end));
  uint64_t expected = batch.first_position;
  for (;; ++expected) {
    CVN_ASSIGN_OR_RETURN(const format::FrameView* event, reader.NextView());
    if (event == nullptr) return expected == end;
    if (event->position != expected || event->envelope.batch_id != batch.batch_id) return false;
  }
}

// Where the batch is that a catalog complete up to `head` ends with.
enum class Ending {
  kInLog,      // just below head, at the positions and under the id its receipt records
  kElsewhere,  // not there: the catalog describes another history
  kReclaimed,  // below the retention floor, where the log cannot tell
};

// A catalog saved before a torn tail was cut below its head describes
// another history once appends have passed its head again: other batches
// hold its last batch's positions then. Only that batch is read.
Result<Ending> FindEnding(const log::Log& log, const stream::StreamCatalog& catalog,
                          uint64_t head) {
  const std::optional<stream::AppendReceipt> last = catalog.LastBatch();
  if (!last) return head == 0 ? Ending::kInLog : Ending::kElsewhere;
  if (last->last_position + 1 != head) return Ending::kElsewhere;
  if (last->first_position < log.retention_floor()) return Ending::kReclaimed;
  CVN_ASSIGN_OR_RETURN(const bool held, LogHolds(log, *last));
  return held ? Ending::kInLog : Ending::kElsewhere;
}

// Whether the anchor belongs to this log, at a head the log reaches, is the
// one the manifest names (if it names one), and ends with a batch the log
// holds, unless retention removed that batch.
Result<bool> Acceptable(const retention::LoadedAnchor& loaded, const log::Log& log,
                        std::optional<uint32_t> named) {
  const retention::CoreRetentionAnchor& anchor = loaded.anchor;
  if (named && *named != loaded.info.checksum) return false;
  if (!retention::ValidateForOpen(anchor, log.database_id(), log.retention_floor(), log.head())
           .ok()) {
    return false;
  }
  CVN_ASSIGN_OR_RETURN(const Ending ending, FindEnding(log, anchor.stream_catalog, anchor.head));
  return ending != Ending::kElsewhere;
}

// The manifest carries no checksum, the anchor does: a floor that differs
// from the one of the anchor the manifest names is a damaged manifest.
Result<> CheckFloorOf(const retention::LoadedAnchor& named, const log::Log& log) {
  if (named.anchor.floor == log.retention_floor()) return {};
  return CorvantineError::Manifest(
      fmt::format("retention_floor {} differs from the floor {} of the retention anchor it names",
                  log.retention_floor(), named.anchor.floor));
}

// The manifest carries no checksum, the records do: a database id that
// differs from the one the oldest record carries is a damaged manifest.
// Taken as it is, it would make the checkpoint another database's and stamp
// new records and stream ids with an identity the log never had.
Result<> CheckDatabaseIdOf(const log::Log& log) {
  CVN_ASSIGN_OR_RETURN(const std::optional<format::RecordEnvelopeV2> oldest, log.OldestEnvelope());
  if (!oldest || oldest->database_id == log.database_id()) return {};
  return CorvantineError::Manifest(
      fmt::format("database_id {} differs from the database id {} of the records in the log",
                  log.database_id().ToJsonArray(), oldest->database_id.ToJsonArray()));
}

// The retention anchor the open relies on, if any; see OpenInternal.
Result<std::optional<retention::LoadedAnchor>> AcceptAnchor(const std::string& directory,
                                                            const log::Log& log) {
  const std::optional<uint32_t> named = log.retention_anchor_checksum();
  const bool retained = OldestBase(log) != 0;
  Result<std::optional<retention::LoadedAnchor>> loaded =
      retention::LoadAuthoritative(directory, named);
  if (!loaded.ok()) {
    if (named || retained) return std::move(loaded).error();
    util::Warn(
        fmt::format("ignoring non-authoritative retention anchor: {}", loaded.error().ToString()));
    return std::optional<retention::LoadedAnchor>();
  }
  std::optional<retention::LoadedAnchor>& anchor = *loaded;
  if (anchor) {
    if (named == anchor->info.checksum) CVN_TRY(CheckFloorOf(*anchor, log));
    CVN_ASSIGN_OR_RETURN(const bool acceptable, Acceptable(*anchor, log, named));
    if (acceptable) return std::move(anchor);
  }
  if (named) return CorvantineError::InvalidFormat(kNoMatchingAnchor);
  if (retained) return CorvantineError::InvalidFormat(kNoCompatibleAnchor);
  return std::optional<retention::LoadedAnchor>();
}

VerifiedAnchor Verified(retention::LoadedAnchor& loaded) {
  retention::CoreRetentionAnchor& anchor = loaded.anchor;
  return VerifiedAnchor{anchor.database_id,
                        anchor.floor,
                        anchor.head,
                        loaded.info.checksum,
                        std::move(anchor.projection_coverage),
                        std::move(anchor.branch_bootstraps),
                        std::move(anchor.consumer_bootstraps),
                        std::move(anchor.system_records)};
}

// The log's events in order, each read in place and assigned to one record
// whose storage the next reuses, so that a rebuild of a million events does
// not allocate for each of them.
class ReusedRecordSource {
 public:
  explicit ReusedRecordSource(log::reader::LogReader reader) : reader_(std::move(reader)) {}

  Result<const format::StoredRecord*> Next() {
    CVN_ASSIGN_OR_RETURN(const format::FrameView* frame, reader_.NextView());
    if (frame == nullptr) return nullptr;
    format::AssignRecord(*frame, &record_);
    return &record_;
  }

 private:
  log::reader::LogReader reader_;
  format::StoredRecord record_;
};

// Applies every event of the log from `from` up to the head.
Result<> RollForward(const log::Log& log, uint64_t from, stream::StreamCatalog& catalog) {
  if (from == log.head()) return {};
  ReusedRecordSource source(log.PlanReader(AllEventsBetween(from, log.head())));
  return stream::StreamCatalog::Rebuilder(catalog).ApplyAll(source);
}

// Applies every branch record of the log. A record the catalog already
// reflects (one an anchor captured) changes nothing.
Result<> ApplyBranchRecords(const log::Log& log, branch::BranchCatalog& catalog) {
  log::StoredLogIter records = log.SystemRecords();
  while (std::optional<Result<format::OwnedStoredRecord>> next = records.Next()) {
    CVN_ASSIGN_OR_RETURN(const format::OwnedStoredRecord record, std::move(*next));
    CVN_TRY(catalog.ApplySystemRecord(record.envelope.event_type.str(), record.position,
                                      record.payload));
  }
  return {};
}

}  // namespace

Result<std::unique_ptr<Corvantine>> Corvantine::OpenInternal(
    const std::string& directory, CommitPolicy policy, std::optional<uint64_t> max_segment_bytes,
    Options options) {
  // The checkpoint decodes while the log reads its segments: the two are
  // the bulk of an open, and neither needs the other until both are done.
  std::future<std::optional<CheckpointFile>> checkpoint;
  auto read_checkpoint = [&] {
    checkpoint = std::async(std::launch::async, ReadCoreCatalog, directory);
  };
  CVN_ASSIGN_OR_RETURN(
      std::unique_ptr<log::Log> log,
      log::Log::OpenInternal(directory,
                             max_segment_bytes.value_or(log::Log::kDefaultMaxSegmentBytes), 0,
                             read_checkpoint));
  CVN_TRY(CheckDatabaseIdOf(*log));
  // What a crash left in the page cache of the active segment is durable
  // only once flushed; the head is declared durable below.
  CVN_TRY(log->SyncActive());
  CVN_ASSIGN_OR_RETURN(Catalogs catalogs, LoadCatalogs(directory, *log, checkpoint.get()));
  const bool checkpoint_behind = !catalogs.checkpoint && !catalogs.verified_anchor;
  std::unique_ptr<Corvantine> db(new Corvantine(directory, std::move(policy), std::move(options),
                                                std::move(log), std::move(catalogs)));
  if (checkpoint_behind) db->PersistCheckpoint();
  return db;
}

Result<Corvantine::Catalogs> Corvantine::LoadCatalogs(const std::string& directory, log::Log& log,
                                                      std::optional<CheckpointFile> read) {
  // First, so that a checkpoint ahead of the log goes before anything else.
  std::optional<LoadedCheckpoint> checkpoint = AcceptCoreCatalog(
      directory, std::move(read), log.database_id(), log.retention_floor(), log.head());
  CVN_ASSIGN_OR_RETURN(std::optional<retention::LoadedAnchor> anchor, AcceptAnchor(directory, log));
  Catalogs catalogs;
  uint64_t catalog_head = 0;  // the stream catalog holds the events below it
  if (anchor) {
    catalogs.streams = std::move(anchor->anchor.stream_catalog);
    catalogs.branches = std::move(anchor->anchor.branch_catalog);
    catalog_head = anchor->anchor.head;
    catalogs.verified_anchor = Verified(*anchor);
  }
  if (checkpoint && checkpoint->head >= catalog_head) {
    // One of another history is passed over, as a damaged one is.
    CVN_ASSIGN_OR_RETURN(const Ending ending,
                         FindEnding(log, checkpoint->catalog, checkpoint->head));
    if (ending == Ending::kInLog) {
      catalogs.streams = std::move(checkpoint->catalog);
      catalog_head = checkpoint->head;
      if (catalog_head == log.head()) {
        catalogs.checkpoint = CheckpointMark{catalog_head, checkpoint->file_bytes, 0};
      }
    }
  }
  // An anchor's catalog builds its tables and positions only when asked
  // for them; one that stays builds them now, as a checkpoint's does. A
  // roll forward waits for its tables and indexes its positions anew.
  if (catalog_head == log.head()) catalogs.streams.BuildInBackground();
  CVN_TRY(RollForward(log, catalog_head, catalogs.streams));
  CVN_TRY(ApplyBranchRecords(log, catalogs.branches));
  return catalogs;
}

Corvantine::Corvantine(std::string directory, CommitPolicy policy, Options options,
                       std::unique_ptr<log::Log> log, Catalogs catalogs)
    : directory_(std::move(directory)),
      policy_(std::move(policy)),
      options_(std::move(options)),
      log_(std::move(log)),
      verified_anchor_(std::move(catalogs.verified_anchor)),
      streams_(std::move(catalogs.streams)),
      branches_(std::move(catalogs.branches)),
      last_commit_nanos_(options_.monotonic_nanos()),
      durable_head_(log_->head()),
      checkpoint_(catalogs.checkpoint) {
  streams_.ForgetPositionsBelow(log_->retention_floor());
}

}  // namespace corvantine::db
