// Feed bootstraps: how a consumer whose checkpoint retention has reclaimed
// goes on. The retention anchor holds, per consumer, checkpoint bytes of the
// application's own that stand for everything below the floor, registered
// for one feed scope. A consumer refused below the floor is offered a
// descriptor of that bootstrap; presenting it again fetches the bytes or
// resumes the feed at the floor. A descriptor is good for one retention
// generation only: every field must still describe the anchor's bootstrap.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/db.h"
#include "facade/engine/error.h"
#include "facade/feed/feed_records.h"
#include "retention/anchor.h"

namespace corvantine::facade {

// The first of `bootstraps` for `consumer_id` whose checkpoint matches its
// checksum: one that does not is passed over, as if it were not there.
const retention::RetentionConsumerBootstrap* FindConsumerBootstrap(
    const std::vector<retention::RetentionConsumerBootstrap>& bootstraps,
    std::string_view consumer_id);

// The descriptor that the consumer of `request` may resume from: only when
// the anchor in force's FindConsumerBootstrap for that consumer lies at the
// current floor and was registered for exactly the request's filter (same
// lists, same order). Nothing otherwise, also for a request without a
// consumer id.
std::optional<FeedBootstrapDescriptor> OfferedBootstrap(const db::Corvantine& db,
                                                        const FeedRequest& request);

// The bootstrap `descriptor` names: the anchor in force's
// FindConsumerBootstrap for its consumer, else "not_found"
// "feed bootstrap handle was not found". Every field of the descriptor must
// be what OfferedBootstrap would offer for it now, at the current floor and
// generation, else code::kFeedBootstrapMismatch "feed bootstrap descriptor
// does not match the current retention generation". The bootstrap lives in
// the anchor in force (db::Corvantine::anchor_in_force): it is valid until
// the next anchor is applied.
EngineResult<const retention::RetentionConsumerBootstrap*> ValidateFeedBootstrapDescriptor(
    const db::Corvantine& db, const FeedBootstrapDescriptor& descriptor);

// The checkpoint bytes of the bootstrap `descriptor` names, after
// ValidateFeedBootstrapDescriptor; "resource_limit" ("feed bootstrap bytes")
// when they are longer than `maximum_bytes` or when that is 0, even for an
// empty checkpoint.
EngineResult<std::string> FetchFeedBootstrap(const db::Corvantine& db,
                                             const FeedBootstrapDescriptor& descriptor,
                                             uint64_t maximum_bytes);

}  // namespace corvantine::facade
