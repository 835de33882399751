// The records of feeds: what a consumer asks for, the pages of committed
// batches it is served, and the batch a replica ingests. A feed serves
// whole batches, in log order, only below the durable head.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error/result.h"
#include "facade/engine/error.h"
#include "facade/engine/records.h"
#include "format/ids.h"
#include "retention/feed_scope.h"

namespace corvantine::facade {

// Numbers of the engine's one handle counter, like ReaderHandle.
using FeedHandle = uint64_t;

// The limits of one feed page, and the page size of callers that let their
// users leave it out.
inline constexpr uint32_t kMaxFeedPageBatches = 4096;
inline constexpr uint64_t kMaxFeedPageBytes = 16 << 20;
inline constexpr uint32_t kDefaultFeedPageBatches = 128;
inline constexpr uint64_t kDefaultFeedPageBytes = 1 << 20;
// The longest consumer id, in bytes.
inline constexpr size_t kMaxConsumerIdBytes = 1024;

// Which batches a feed delivers (retention/feed_scope.h): the scope a
// consumer bootstrap records is the filter of its feed.
using FeedFilter = retention::RetentionFeedScope;

struct FeedRequest {
  // The first position to serve; a start inside a batch serves that whole
  // batch. Nothing: the consumer's checkpoint, or without one 0, or the
  // durable head as the feed opens when `from_durable_head`.
  std::optional<uint64_t> start;
  FeedFilter filter;
  std::optional<std::string> consumer_id;          // 1 to kMaxConsumerIdBytes bytes
  uint64_t max_bytes = kDefaultFeedPageBytes;      // 1 to kMaxFeedPageBytes
  uint32_t max_batches = kDefaultFeedPageBatches;  // 1 to kMaxFeedPageBatches
  bool from_durable_head = false;
};

// One committed batch, whole.
struct CommittedBatch {
  std::vector<RecordDto> events;             // in position order
  std::vector<format::StreamId> stream_ids;  // of the events, ascending, distinct
  format::BranchId branch_id;
  format::DatabaseId database_id;
  format::BatchId batch_id;
  uint64_t first_position = 0;
  uint64_t last_position = 0;
};

// What a consumer presents to resume above the retention floor, from the
// consumer bootstrap that the retention anchor holds for it. The checkpoint
// bytes themselves are fetched separately.
struct FeedBootstrapDescriptor {
  format::DatabaseId database_id;
  uint64_t generation = 0;  // the retention generation it was offered in
  uint64_t floor = 0;
  std::string consumer_id;
  format::IdBytes checkpoint_id{};
  retention::RetentionFeedScope scope;  // the feed filter it was registered for
  uint64_t byte_length = 0;  // of the checkpoint
  uint32_t checksum = 0;     // CRC-32C of the checkpoint
  uint64_t resume_from = 0;  // where a resumed feed starts: the floor
  std::string codec;
  uint32_t codec_version = 0;

  friend bool operator==(const FeedBootstrapDescriptor&, const FeedBootstrapDescriptor&) = default;
};

// Why OpenFeed refused a feed. With a "position_unavailable" reason it may
// offer the bootstrap the consumer can resume from instead: when the
// retention anchor holds a valid one for the consumer at the current floor
// with the request's filter as its scope.
struct FeedRefusal {
  // Implicit, so that any engine error refuses a feed; it offers nothing.
  FeedRefusal(EngineError reason) : reason(std::move(reason)) {}

  // "{code}: {message}" of the reason.
  std::string ToString() const { return reason.ToString(); }

  EngineError reason;
  std::optional<FeedBootstrapDescriptor> bootstrap;
};

using OpenFeedResult = error::Expected<FeedHandle, FeedRefusal>;

struct FeedPage {
  std::vector<CommittedBatch> batches;  // in log order
  uint64_t next_position = 0;           // where the next page starts
  uint64_t durable_head = 0;            // when the page was read
  bool timed_out = false;               // an empty page whose wait for new batches ran out
};

}  // namespace corvantine::facade
