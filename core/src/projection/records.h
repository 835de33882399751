// What the engine makes durable about projections and feed consumers: the
// payloads of its standalone system records. The engine writes them through
// facade::AppendProjectionSystem and replays them in log order at open, the
// last record for a name or consumer winning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "projection/descriptor.h"

namespace corvantine::projection {

// Payload: the DurableProjectionRegistration as compact JSON.
inline constexpr std::string_view kProjectionRegisteredEventType =
    "corvantine.projection.registered";
// Payload: the projection's name as UTF-8 bytes; replay skips one that is
// not UTF-8.
inline constexpr std::string_view kProjectionDroppedEventType = "corvantine.projection.dropped";
// Payload: the ConsumerCheckpoint as compact JSON.
inline constexpr std::string_view kConsumerCheckpointEventType = "corvantine.consumer.checkpoint";
// Payload: the consumer id as UTF-8 bytes; replay skips one that is not UTF-8.
inline constexpr std::string_view kConsumerClearedEventType = "corvantine.consumer.cleared";

struct DurableProjectionRegistration {
  ProjectionDescriptor descriptor;
  // Present for a JSON index; absent for a projection registered with a
  // runtime of its own, which cannot be rebuilt from the log.
  std::optional<QueryDefinition> definition;

  friend bool operator==(const DurableProjectionRegistration&,
                         const DurableProjectionRegistration&) = default;
};

// The feed position a consumer acknowledged.
struct ConsumerCheckpoint {
  std::string consumer_id;
  uint64_t position = 0;

  friend bool operator==(const ConsumerCheckpoint&, const ConsumerCheckpoint&) = default;
};

}  // namespace corvantine::projection
