// The bounds that every frame codec operation enforces. Writers and readers of
// one log must pass the same limits, or a reader may refuse what was written.
#pragma once

#include <cstdint>

namespace corvantine::format {

struct FrameLimits {
  uint32_t max_envelope_bytes;
  uint32_t max_payload_bytes;
  uint32_t max_metadata_value_bytes;
  uint16_t max_metadata_entries;
  uint16_t max_metadata_key_bytes;
  uint16_t max_event_type_bytes;
};

}  // namespace corvantine::format
