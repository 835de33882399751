// The sequencer's feeds and consumer checkpoints. A feed hands a consumer
// the committed batches of the log, page by page, in log order, whole, and
// only below the durable head: what it serves is durable. A consumer that
// gives an id can acknowledge a position it was served; the checkpoint is
// a standalone system record, replayed at open, and a later feed of that
// consumer that names no start begins there. Waiting for new batches is the
// caller's business (Engine::NextFeedPage), never the sequencer's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db/db.h"
#include "facade/engine/error.h"
#include "facade/engine/records.h"
#include "facade/feed/commands.h"
#include "facade/feed/feed_records.h"
#include "projection/records.h"

namespace corvantine::facade {

// The checks of a feed that would start at `start`, in order: page batches
// outside 1..4096 ("feed page batches") and page bytes outside 1..16 MiB
// ("feed page bytes"), both "resource_limit"; a start beyond the durable
// head ("position_unavailable" "feed position is beyond durable head {}");
// below the retention floor (the core's PositionUnavailable); a consumer id
// that is empty or longer than 1024 bytes ("invalid_argument").
EngineResult<> ValidateFeed(const FeedRequest& request, uint64_t start, uint64_t floor,
                            uint64_t durable_head);

// Offers one whole batch (`events`, non-empty, in position order) to a page
// that holds `*page_bytes` so far. A batch that `filter` rejects is skipped;
// a page's first batch is always taken; a later one is refused when the page
// holds `max_batches` batches or the batch's bytes (bodies and metadata
// values) would take the page over `max_bytes`. A taken batch moves out of
// `events`. Returns false only when refused: the page is full.
bool FinishFeedBatch(const FeedFilter& filter, std::vector<CommittedBatch>& page,
                     uint64_t& page_bytes, std::vector<RecordDto>& events, uint32_t max_batches,
                     uint64_t max_bytes);

class Feeds {
 public:
  // Feed handles are taken from `next_handle`, the engine's one counter.
  // The commands (feed_commands.cc) act on `db`.
  Feeds(db::Corvantine& db, uint64_t& next_handle) : db_(db), next_handle_(next_handle) {}

  Feeds(const Feeds&) = delete;
  Feeds& operator=(const Feeds&) = delete;

  OpenFeedResult Handle(command::OpenFeed& command);
  EngineResult<FeedPage> Handle(command::NextFeedPage& command);
  EngineResult<uint64_t> Handle(command::AcknowledgeFeed& command);
  EngineResult<> Handle(command::CancelFeed& command);
  EngineResult<> Handle(command::CloseFeed& command);
  EngineResult<> Handle(command::ClearConsumer& command);
  EngineResult<FeedHandle> Handle(command::ResumeFeed& command);

  // Rebuilds the consumer checkpoints from the database's system records,
  // in log order: the last checkpoint of a consumer wins, a clear removes
  // it. A checkpoint record that cannot be read fails ("internal" with the
  // reader's message): dropping it would send its consumer back to the
  // start.
  EngineResult<> Restore(const db::Corvantine& db);

  // Opens a feed at the request's start, else at its consumer's checkpoint,
  // else at 0, after ValidateFeed. A start inside a batch begins at that
  // batch's first position. A "position_unavailable" refusal offers the
  // bootstrap the consumer may resume from instead, if the retention anchor
  // holds one (facade/retention/feed_bootstrap.h).
  OpenFeedResult Open(const db::Corvantine& db, FeedRequest request);
  // Opens a feed for the consumer and scope of `descriptor`, once
  // ValidateFeedBootstrapDescriptor has accepted it, at its resume_from,
  // after ValidateFeed; the consumer's checkpoint is not consulted.
  EngineResult<FeedHandle> Resume(const db::Corvantine& db,
                                  const FeedBootstrapDescriptor& descriptor,
                                  uint32_t max_batches, uint64_t max_bytes);
  // The next page of whole committed batches from the feed's position,
  // stopping before the durable head and before the first batch that does
  // not fit; an empty page whose next position is the durable head means
  // the consumer has caught up. "not_found" "feed handle was not found";
  // "cancelled" "feed was cancelled". A failed page moves nothing.
  EngineResult<FeedPage> NextPage(const db::Corvantine& db, FeedHandle feed);
  // Stores the consumer's checkpoint at `position`, or at the feed position
  // when none is given, and returns it; a feed without a consumer id stores
  // nothing. A given position must lie between the feed's last acknowledged
  // position (its start before any) and its feed position, else
  // "invalid_argument": a consumer cannot acknowledge what it was not
  // served. The record commits; the checkpoint changes only when it is
  // written. A position the consumer's checkpoint holds already writes,
  // and so commits, nothing.
  EngineResult<uint64_t> Acknowledge(db::Corvantine& db, FeedHandle feed,
                                     std::optional<uint64_t> position);
  // Makes every later page of the feed fail; it stays open until closed.
  EngineResult<> Cancel(FeedHandle feed);
  EngineResult<> Close(FeedHandle feed);
  // Writes the consumer's clear record (which commits), then forgets its
  // checkpoint; open feeds of the consumer are not touched.
  EngineResult<> ClearConsumer(db::Corvantine& db, const std::string& consumer_id);

  size_t open_count() const { return feeds_.size(); }
  // The consumers' checkpoints, sorted by consumer id.
  db::ConsumerCheckpoints Checkpoints() const {
    return db::ConsumerCheckpoints(checkpoints_.begin(), checkpoints_.end());
  }

 private:
  struct FeedState {
    FeedRequest request;
    uint64_t position = 0;      // where the next page starts
    uint64_t acknowledged = 0;  // the lowest position an acknowledgement may name
    bool cancelled = false;
    // The read of the last page, kept for the next one: planned up to
    // `read_end` while the retention floor was `read_floor`, with `held` the
    // records it read beyond `position` (a refused batch and the record
    // after it). Dropped after an error and whenever retention moved.
    std::optional<log::reader::LogReader> reader;
    uint64_t read_end = 0;
    uint64_t read_floor = 0;
    std::vector<RecordDto> held;
  };

  class PageAssembly;

  EngineResult<FeedState*> Find(FeedHandle feed);
  // Writes `checkpoint` and keeps it, unless it is the one kept already.
  EngineResult<> StoreCheckpoint(db::Corvantine& db,
                                 const projection::ConsumerCheckpoint& checkpoint);
  uint64_t StartOf(const FeedRequest& request, uint64_t durable_head) const;
  // Adds a feed at the batch that holds `start`, which ValidateFeed has
  // accepted.
  EngineResult<FeedHandle> Insert(const db::Corvantine& db, FeedRequest request, uint64_t start);
  static void Plan(const db::Corvantine& db, FeedState& feed, uint64_t from);
  static EngineResult<> Fill(const db::Corvantine& db, FeedState& feed, PageAssembly& page);

  db::Corvantine& db_;
  std::unordered_map<FeedHandle, FeedState> feeds_;
  std::unordered_map<std::string, uint64_t> checkpoints_;
  uint64_t& next_handle_;
};

}  // namespace corvantine::facade
