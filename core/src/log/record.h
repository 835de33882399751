// The frame codec as the log uses it: every frame the log writes or reads is
// checked against the same standard limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"
#include "format/format.h"

namespace corvantine::log::record {

inline constexpr format::FrameLimits kStandardLimits{
    .max_envelope_bytes = 1'048'576,
    .max_payload_bytes = 16'777'216,
    .max_metadata_value_bytes = 65'536,
    .max_metadata_entries = 256,
    .max_metadata_key_bytes = 1'024,
    .max_event_type_bytes = 1'024,
};

// Appends the frame of (kind, position, envelope, payload), flags 0, to *out;
// on error *out is unchanged.
Result<> EncodeKind(uint8_t kind, uint64_t position, const format::RecordEnvelopeV2& envelope,
                    std::string_view payload, std::string* out);

// format::Decode with the standard limits; a whole frame comes back with its
// payload copied.
Result<std::optional<format::OwnedStoredRecord>> DecodeOwned(std::string_view bytes);

}  // namespace corvantine::log::record
