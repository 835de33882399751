// How an engine opens its database: the directory, the group-commit and
// automatic snapshot thresholds, and the segment size.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvantine::facade {

struct OpenConfig {
  // Group-commit thresholds: uncommitted body bytes, uncommitted events,
  // milliseconds since the last commit.
  std::optional<uint64_t> commit_every_bytes;
  std::optional<uint64_t> commit_every_count;
  std::optional<uint64_t> commit_every_millis;
  // Automatic snapshot thresholds of registered projections.
  std::optional<uint64_t> snapshot_every_events;
  std::optional<uint64_t> snapshot_every_bytes;
  std::optional<uint64_t> snapshot_every_millis;
  // Segment roll threshold; nothing: 64 MiB.
  std::optional<uint64_t> segment_bytes;
  std::string path;  // the database directory
};

}  // namespace corvantine::facade
