// Opening a database: where its catalogs come from, and how they are brought
// up to the log head.
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

// Whether the anchor belongs to this log, at a head the log reaches, and is
// the one the manifest names (if it names one).
bool Acceptable(const retention::LoadedAnchor& loaded, const log::Log& log,
                std::optional<uint32_t> named) {
  if (named && *named != loaded.info.checksum) return false;
  return retention::ValidateForOpen(loaded.anchor, log.database_id(), log.retention_floor(),
                                    log.head())
      .ok();
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
  if (anchor && Acceptable(*anchor, log, named)) return std::move(anchor);
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
  CVN_ASSIGN_OR_RETURN(
      std::unique_ptr<log::Log> log,
      log::Log::OpenInternal(directory,
                             max_segment_bytes.value_or(log::Log::kDefaultMaxSegmentBytes), 0));
  // What a crash left in the page cache of the active segment is durable
  // only once flushed; the head is declared durable below.
  CVN_TRY(log->SyncActive());
  CVN_ASSIGN_OR_RETURN(Catalogs catalogs, LoadCatalogs(directory, *log));
  const bool checkpoint_behind = !catalogs.checkpoint && !catalogs.verified_anchor;
  std::unique_ptr<Corvantine> db(new Corvantine(directory, std::move(policy), std::move(options),
                                                std::move(log), std::move(catalogs)));
  if (checkpoint_behind) db->PersistCheckpoint();
  return db;
}

Result<Corvantine::Catalogs> Corvantine::LoadCatalogs(const std::string& directory, log::Log& log) {
  CVN_ASSIGN_OR_RETURN(std::optional<retention::LoadedAnchor> anchor, AcceptAnchor(directory, log));
  Catalogs catalogs;
  uint64_t catalog_head = 0;  // the stream catalog holds the events below it
  if (anchor) {
    catalogs.streams = std::move(anchor->anchor.stream_catalog);
    catalogs.branches = std::move(anchor->anchor.branch_catalog);
    catalog_head = anchor->anchor.head;
    catalogs.verified_anchor = Verified(*anchor);
  }
  std::optional<LoadedCheckpoint> checkpoint =
      LoadCoreCatalog(directory, log.database_id(), log.retention_floor(), log.head());
  if (checkpoint && checkpoint->head >= catalog_head) {
    catalogs.streams = std::move(checkpoint->catalog);
    catalog_head = checkpoint->head;
    if (catalog_head == log.head()) {
      catalogs.checkpoint = CheckpointMark{catalog_head, checkpoint->file_bytes, 0};
    }
  }
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
      checkpoint_(catalogs.checkpoint) {}

}  // namespace corvantine::db
