// Which batches a feed delivers, and the feed a consumer bootstrap was
// registered for: one record for both, kept apart from the anchor so that
// the engine's feed records can hold it without the anchor's dependencies.
#pragma once

#include <string>
#include <vector>

#include "error/error.h"
#include "format/ids.h"
#include "util/coding.h"

namespace corvantine::retention {

// An empty list restricts nothing. A batch passes when its branch is
// listed, some event's stream is listed and some event's type is listed; it
// is then delivered whole.
struct RetentionFeedScope {
  std::vector<format::BranchId> branches;
  std::vector<format::StreamId> streams;
  std::vector<std::string> event_types;

  // In the anchor's binary form (retention/anchor.h).
  static constexpr size_t kMinEncodedBytes =
      util::kMinEncodedBytes<decltype(branches), decltype(streams), decltype(event_types)>;
  void Encode(util::BinaryWriter& writer) const;
  static Result<RetentionFeedScope> Decode(util::BinaryReader& reader);

  friend bool operator==(const RetentionFeedScope&, const RetentionFeedScope&) = default;
};

}  // namespace corvantine::retention
