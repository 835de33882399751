#include "facade/retention/feed_bootstrap.h"

namespace corvantine::facade {

namespace {

using retention::RetentionConsumerBootstrap;

const RetentionConsumerBootstrap* FindBootstrap(const db::Corvantine& db,
                                                std::string_view consumer_id) {
  const db::VerifiedAnchor* anchor = db.anchor_in_force();
  if (anchor == nullptr) return nullptr;
  return FindConsumerBootstrap(anchor->consumer_bootstraps, consumer_id);
}

// The descriptor of `bootstrap` in the database's current generation.
FeedBootstrapDescriptor DescriptorOf(const db::Corvantine& db,
                                     const RetentionConsumerBootstrap& bootstrap) {
  FeedBootstrapDescriptor descriptor;
  descriptor.database_id = db.database_id();
  descriptor.generation = db.retention_generation();
  descriptor.floor = bootstrap.floor;
  descriptor.consumer_id = bootstrap.consumer_id;
  descriptor.checkpoint_id = bootstrap.checkpoint_id;
  descriptor.scope = bootstrap.scope;
  descriptor.byte_length = bootstrap.checkpoint.size();
  descriptor.checksum = bootstrap.checksum;
  descriptor.resume_from = bootstrap.floor;
  descriptor.codec = bootstrap.codec;
  descriptor.codec_version = bootstrap.codec_version;
  return descriptor;
}

}  // namespace

const RetentionConsumerBootstrap* FindConsumerBootstrap(
    const std::vector<RetentionConsumerBootstrap>& bootstraps, std::string_view consumer_id) {
  return retention::FirstSoundBootstrap(bootstraps, &RetentionConsumerBootstrap::consumer_id,
                                        consumer_id);
}

std::optional<FeedBootstrapDescriptor> OfferedBootstrap(const db::Corvantine& db,
                                                        const FeedRequest& request) {
  if (!request.consumer_id) return std::nullopt;
  const RetentionConsumerBootstrap* bootstrap = FindBootstrap(db, *request.consumer_id);
  if (bootstrap == nullptr || bootstrap->floor != db.retention_floor() ||
      bootstrap->scope != request.filter) {
    return std::nullopt;
  }
  return DescriptorOf(db, *bootstrap);
}

EngineResult<const RetentionConsumerBootstrap*> ValidateFeedBootstrapDescriptor(
    const db::Corvantine& db, const FeedBootstrapDescriptor& descriptor) {
  const RetentionConsumerBootstrap* bootstrap = FindBootstrap(db, descriptor.consumer_id);
  if (bootstrap == nullptr) return EngineError::HandleNotFound("feed bootstrap");
  if (descriptor.floor != db.retention_floor() ||
      descriptor != DescriptorOf(db, *bootstrap)) {
    return EngineError("feed bootstrap descriptor does not match the current retention generation",
                       code::kFeedBootstrapMismatch);
  }
  return bootstrap;
}

EngineResult<std::string> FetchFeedBootstrap(const db::Corvantine& db,
                                             const FeedBootstrapDescriptor& descriptor,
                                             uint64_t maximum_bytes) {
  CVN_ASSIGN_OR_RETURN(const RetentionConsumerBootstrap* bootstrap,
                       ValidateFeedBootstrapDescriptor(db, descriptor));
  const uint64_t length = bootstrap->checkpoint.size();
  if (maximum_bytes == 0 || length > maximum_bytes) {
    return EngineError::LimitExceeded("feed bootstrap bytes", length, maximum_bytes);
  }
  return bootstrap->checkpoint;
}

}  // namespace corvantine::facade
