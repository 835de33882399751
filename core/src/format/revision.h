// A stream's event counter on one branch: 0 is the stream's first event.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace corvantine::format {

struct StreamRevision {
  uint64_t value = 0;

  // "StreamRevision(7)". Request digests hash this text, so it must never
  // change.
  std::string DebugString() const { return "StreamRevision(" + std::to_string(value) + ")"; }

  friend bool operator==(StreamRevision, StreamRevision) = default;
  friend auto operator<=>(StreamRevision, StreamRevision) = default;
};

}  // namespace corvantine::format
