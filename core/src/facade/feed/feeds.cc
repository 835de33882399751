#include "facade/feed/feeds.h"

#include <algorithm>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "facade/retention/feed_bootstrap.h"
#include "facade/view/projection_records.h"
#include "projection/json.h"
#include "projection/records.h"
#include "util/utf8.h"

namespace corvantine::facade {

namespace {

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

// What a batch costs of a page's byte budget: bodies and metadata values.
uint64_t BatchBytes(const std::vector<RecordDto>& events) {
  uint64_t bytes = 0;
  for (const RecordDto& event : events) {
    bytes = SaturatingAdd(bytes, event.body.size());
    for (const auto& [key, value] : event.metadata) bytes = SaturatingAdd(bytes, value.size());
  }
  return bytes;
}

template <typename T>
bool Lists(const std::vector<T>& list, const T& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool Passes(const FeedFilter& filter, const std::vector<RecordDto>& events) {
  if (!filter.branches.empty() && !Lists(filter.branches, events.front().branch_id)) return false;
  auto any = [&events](auto listed) { return std::any_of(events.begin(), events.end(), listed); };
  if (!filter.streams.empty() &&
      !any([&](const RecordDto& e) { return Lists(filter.streams, e.stream_id); })) {
    return false;
  }
  return filter.event_types.empty() ||
         any([&](const RecordDto& e) { return Lists(filter.event_types, e.event_type); });
}

CommittedBatch MakeBatch(std::vector<RecordDto>& events) {
  CommittedBatch batch;
  for (const RecordDto& event : events) batch.stream_ids.push_back(event.stream_id);
  std::sort(batch.stream_ids.begin(), batch.stream_ids.end());
  batch.stream_ids.erase(std::unique(batch.stream_ids.begin(), batch.stream_ids.end()),
                         batch.stream_ids.end());
  const RecordDto& first = events.front();
  batch.branch_id = first.branch_id;
  batch.database_id = first.database_id;
  batch.batch_id = first.batch_id;
  batch.first_position = first.position;
  batch.last_position = events.back().position;
  batch.events = std::move(events);
  return batch;
}

// The first position of the batch that holds `position`; the position
// itself at or beyond the durable head, which lies between batches.
EngineResult<uint64_t> BatchStart(const db::Corvantine& db, uint64_t position) {
  if (position >= db.durable_head()) return position;
  log::reader::LogReader reader = db.ReadAllBranches(position, position + 1);
  Result<const format::FrameView*> frame = reader.NextView();
  if (!frame.ok()) return EngineError::FromCore(frame.error());
  if (*frame == nullptr) return position;
  return (*frame)->position - std::min<uint64_t>((*frame)->envelope.batch_index, position);
}

// A consumer refused a start that retention reclaimed, or one beyond the
// durable head, learns which bootstrap it may resume from instead.
FeedRefusal WithOfferedBootstrap(const db::Corvantine& db, const FeedRequest& request,
                                 EngineError reason) {
  FeedRefusal refusal(std::move(reason));
  if (refusal.reason.code() == code::kPositionUnavailable.text) {
    refusal.bootstrap = OfferedBootstrap(db, request);
  }
  return refusal;
}

}  // namespace

// One page, assembled from the records read from the feed position in log
// order. Records are grouped into batches by batch id; a batch is offered
// once it is whole, which it is when a record of another batch follows or
// when the read ends at the durable head, which lies between batches.
class Feeds::PageAssembly {
 public:
  PageAssembly(const FeedRequest& request, uint64_t position, uint64_t durable_head)
      : request_(request), position_(position) {
    page_.durable_head = durable_head;
  }

  // Whether a record of `batch` may still be read: offers the pending batch
  // when `batch` is another; false once the page is full.
  bool Continues(const format::BatchId& batch) {
    if (full_ || pending_.empty() || pending_.back().batch_id == batch) return !full_;
    full_ = !OfferPending();
    return !full_;
  }

  void Add(RecordDto record) { pending_.push_back(std::move(record)); }
  // Keeps a record read after the page filled, for the next page.
  void Keep(RecordDto record) { unserved_.push_back(std::move(record)); }

  // The records read but not served, in log order: the refused batch and
  // those kept after it. Once only, after Finish.
  std::vector<RecordDto> TakeUnserved() { return std::move(unserved_); }

  // The page, once the read has ended: with nothing read, the feed moves
  // up to the durable head.
  FeedPage Finish() {
    if (!full_ && pending_.empty()) position_ = std::max(position_, page_.durable_head);
    if (!full_ && !pending_.empty()) OfferPending();
    page_.next_position = position_;
    return std::move(page_);
  }

 private:
  // A batch taken or skipped moves the position past it; a refused one
  // stays first for the next page.
  bool OfferPending() {
    const uint64_t first = pending_.front().position;
    const uint64_t next = pending_.back().position + 1;
    const bool taken = FinishFeedBatch(request_.filter, page_.batches, page_bytes_, pending_,
                                       request_.max_batches, request_.max_bytes);
    position_ = taken ? next : first;
    if (!taken) unserved_ = std::move(pending_);
    pending_.clear();
    return taken;
  }

  const FeedRequest& request_;
  uint64_t position_;
  FeedPage page_;
  uint64_t page_bytes_ = 0;
  std::vector<RecordDto> pending_;   // the batch being read
  std::vector<RecordDto> unserved_;  // read after the page filled
  bool full_ = false;
};

EngineResult<> ValidateFeed(const FeedRequest& request, uint64_t start, uint64_t floor,
                            uint64_t durable_head) {
  if (request.max_batches < 1 || request.max_batches > kMaxFeedPageBatches) {
    return EngineError::LimitExceeded("feed page batches", request.max_batches,
                                      kMaxFeedPageBatches);
  }
  if (request.max_bytes < 1 || request.max_bytes > kMaxFeedPageBytes) {
    return EngineError::LimitExceeded("feed page bytes", request.max_bytes, kMaxFeedPageBytes);
  }
  if (start > durable_head) {
    return EngineError(fmt::format("feed position is beyond durable head {}", durable_head),
                       code::kPositionUnavailable);
  }
  if (start < floor) {
    return EngineError::FromCore(CorvantineError::PositionUnavailable(start, floor, durable_head));
  }
  if (request.consumer_id &&
      (request.consumer_id->empty() || request.consumer_id->size() > kMaxConsumerIdBytes)) {
    return EngineError::Invalid("consumer ID must contain 1 to 1024 bytes");
  }
  return {};
}

bool FinishFeedBatch(const FeedFilter& filter, std::vector<CommittedBatch>& page,
                     uint64_t& page_bytes, std::vector<RecordDto>& events, uint32_t max_batches,
                     uint64_t max_bytes) {
  if (!Passes(filter, events)) return true;
  const uint64_t bytes = BatchBytes(events);
  if (!page.empty() &&
      (page.size() >= max_batches || SaturatingAdd(page_bytes, bytes) > max_bytes)) {
    return false;
  }
  page.push_back(MakeBatch(events));
  page_bytes = SaturatingAdd(page_bytes, bytes);
  return true;
}

EngineResult<> Feeds::Restore(const db::Corvantine& db) {
  Result<std::vector<retention::AnchoredSystemRecord>> records = db.SystemMetadata();
  if (!records.ok()) return EngineError::FromCore(records.error());
  for (const retention::AnchoredSystemRecord& record : *records) {
    if (record.event_type == projection::kConsumerCheckpointEventType) {
      auto checkpoint = projection::FromJson<projection::ConsumerCheckpoint>(record.payload);
      if (!checkpoint.ok()) return EngineError::Internal(std::move(checkpoint.error().message));
      checkpoints_.insert_or_assign(std::move(checkpoint->consumer_id), checkpoint->position);
    } else if (record.event_type == projection::kConsumerClearedEventType &&
               util::IsValidUtf8(record.payload)) {
      checkpoints_.erase(record.payload);
    }
  }
  return {};
}

uint64_t Feeds::StartOf(const FeedRequest& request, uint64_t durable_head) const {
  if (request.start) return *request.start;
  const uint64_t otherwise = request.from_durable_head ? durable_head : 0;
  if (!request.consumer_id) return otherwise;
  const auto checkpoint = checkpoints_.find(*request.consumer_id);
  return checkpoint == checkpoints_.end() ? otherwise : checkpoint->second;
}

OpenFeedResult Feeds::Open(const db::Corvantine& db, FeedRequest request) {
  const uint64_t start = StartOf(request, db.durable_head());
  EngineResult<> valid =
      ValidateFeed(request, start, db.retention_floor(), db.durable_head());
  if (!valid.ok()) return WithOfferedBootstrap(db, request, std::move(valid).error());
  EngineResult<FeedHandle> opened = Insert(db, std::move(request), start);
  if (!opened.ok()) return FeedRefusal(std::move(opened).error());
  return *opened;
}

EngineResult<FeedHandle> Feeds::Resume(const db::Corvantine& db,
                                       const FeedBootstrapDescriptor& descriptor,
                                       uint32_t max_batches, uint64_t max_bytes) {
  CVN_TRY(ValidateFeedBootstrapDescriptor(db, descriptor));
  FeedRequest request{descriptor.resume_from, descriptor.scope, descriptor.consumer_id, max_bytes,
                      max_batches};
  CVN_TRY(ValidateFeed(request, descriptor.resume_from, db.retention_floor(),
                       db.durable_head()));
  return Insert(db, std::move(request), descriptor.resume_from);
}

EngineResult<FeedHandle> Feeds::Insert(const db::Corvantine& db, FeedRequest request,
                                       uint64_t start) {
  CVN_ASSIGN_OR_RETURN(const uint64_t batch_start, BatchStart(db, start));
  const FeedHandle handle = next_handle_++;
  FeedState feed;
  feed.request = std::move(request);
  feed.position = batch_start;
  feed.acknowledged = batch_start;
  feeds_.emplace(handle, std::move(feed));
  return handle;
}

EngineResult<Feeds::FeedState*> Feeds::Find(FeedHandle feed) {
  const auto found = feeds_.find(feed);
  if (found == feeds_.end()) return EngineError::HandleNotFound("feed");
  return &found->second;
}

// Plans the feed's read up to the durable head from `from`.
void Feeds::Plan(const db::Corvantine& db, FeedState& feed, uint64_t from) {
  feed.read_end = db.durable_head();
  feed.reader.emplace(db.ReadAllBranches(from, feed.read_end));
}

// Offers the held records and then those of the feed's read to the page
// until it is full or the read reaches the durable head. A page that
// starts a new read plans it from the feed position.
EngineResult<> Feeds::Fill(const db::Corvantine& db, FeedState& feed, PageAssembly& page) {
  const uint64_t floor = db.retention_floor();
  if (!feed.reader || feed.read_floor != floor) {
    feed.held.clear();
    Plan(db, feed, feed.position);
    feed.read_floor = floor;
  }
  std::vector<RecordDto> held = std::exchange(feed.held, {});
  for (auto record = held.begin(); record != held.end(); ++record) {
    if (!page.Continues(record->batch_id)) {
      for (; record != held.end(); ++record) page.Keep(std::move(*record));
      return {};
    }
    page.Add(std::move(*record));
  }
  for (;;) {
    Result<const format::FrameView*> next = feed.reader->NextView();
    if (!next.ok()) return EngineError::FromCore(next.error());
    if (*next == nullptr) {
      // The durable head may have moved since the read was planned.
      if (feed.read_end >= db.durable_head()) return {};
      Plan(db, feed, feed.read_end);
      continue;
    }
    CVN_ASSIGN_OR_RETURN(RecordDto record,
                         MakeRecordDto(format::ToOwned(format::MakeRecord(**next))));
    if (!page.Continues(record.batch_id)) {
      page.Keep(std::move(record));
      return {};
    }
    page.Add(std::move(record));
  }
}

EngineResult<FeedPage> Feeds::NextPage(const db::Corvantine& db, FeedHandle handle) {
  CVN_ASSIGN_OR_RETURN(FeedState * feed, Find(handle));
  if (feed->cancelled) return EngineError::Cancelled("feed was cancelled");
  PageAssembly page(feed->request, feed->position, db.durable_head());
  // A consumer that has caught up asks often; it is answered without a read.
  if (feed->position >= db.durable_head()) return page.Finish();
  EngineResult<> filled = Fill(db, *feed, page);
  if (!filled.ok()) {
    feed->reader.reset();  // the next page reads again from the feed position
    return std::move(filled).error();
  }
  FeedPage done = page.Finish();
  feed->position = done.next_position;
  feed->held = page.TakeUnserved();
  return done;
}

EngineResult<uint64_t> Feeds::Acknowledge(db::Corvantine& db, FeedHandle handle,
                                          std::optional<uint64_t> position) {
  CVN_ASSIGN_OR_RETURN(FeedState * feed, Find(handle));
  const uint64_t acknowledged = position.value_or(feed->position);
  if (acknowledged < feed->acknowledged || acknowledged > feed->position) {
    return EngineError::Invalid(
        fmt::format("acknowledged position {} lies outside the positions the feed served, {} to {}",
                    acknowledged, feed->acknowledged, feed->position));
  }
  if (!feed->request.consumer_id) return acknowledged;
  const projection::ConsumerCheckpoint checkpoint{*feed->request.consumer_id, acknowledged};
  if (!projection::HasUtf8Texts(checkpoint)) {
    return EngineError::Invalid("consumer ID must be UTF-8");
  }
  CVN_TRY(StoreCheckpoint(db, checkpoint));
  feed->acknowledged = acknowledged;
  return acknowledged;
}

EngineResult<> Feeds::StoreCheckpoint(db::Corvantine& db,
                                      const projection::ConsumerCheckpoint& checkpoint) {
  const auto stored = checkpoints_.find(checkpoint.consumer_id);
  if (stored != checkpoints_.end() && stored->second == checkpoint.position) return {};
  CVN_TRY(AppendProjectionSystem(db, projection::kConsumerCheckpointEventType,
                                 projection::ToJson(checkpoint)));
  checkpoints_.insert_or_assign(checkpoint.consumer_id, checkpoint.position);
  return {};
}

EngineResult<> Feeds::Cancel(FeedHandle handle) {
  CVN_ASSIGN_OR_RETURN(FeedState * feed, Find(handle));
  feed->cancelled = true;
  return {};
}

EngineResult<> Feeds::Close(FeedHandle handle) {
  if (feeds_.erase(handle) == 0) return EngineError::HandleNotFound("feed");
  return {};
}

EngineResult<> Feeds::ClearConsumer(db::Corvantine& db, const std::string& consumer_id) {
  CVN_TRY(AppendProjectionSystem(db, projection::kConsumerClearedEventType, consumer_id));
  checkpoints_.erase(consumer_id);
  return {};
}

}  // namespace corvantine::facade
