// The feed commands: feeds, consumer checkpoints, replicated batches and
// resuming from a feed bootstrap (facade/feed/feeds.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "facade/engine/expects.h"
#include "facade/feed/feed_records.h"

namespace corvantine::facade::command {

struct OpenFeed : Expects<FeedHandle, FeedRefusal> {
  FeedRequest request;
};
struct NextFeedPage : Expects<FeedPage> {
  FeedHandle feed = 0;
};
struct AcknowledgeFeed : Expects<uint64_t> {
  FeedHandle feed = 0;
  std::optional<uint64_t> position;  // nothing: the feed position
};
struct CancelFeed : Expects<void> {
  FeedHandle feed = 0;
};
struct CloseFeed : Expects<void> {
  FeedHandle feed = 0;
};
struct ClearConsumer : Expects<void> {
  std::string consumer_id;
};
struct IngestBatch : Expects<AppendReceiptDto> {
  CommittedBatch batch;
};
struct ResumeFeed : Expects<FeedHandle> {
  FeedBootstrapDescriptor descriptor;
  uint32_t max_batches = kDefaultFeedPageBatches;
  uint64_t max_bytes = kDefaultFeedPageBytes;
};

}  // namespace corvantine::facade::command
