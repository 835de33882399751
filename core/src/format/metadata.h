// Record metadata: an ordered map from UTF-8 key to bytes, and the rule that
// keeps keys well formed. Keys beginning "corvantine." are reserved for the
// system; only the seven listed below are admitted.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "error/error.h"

namespace corvantine::format {

// Ordered by the bytes of the key, the order in which frames store entries.
using Metadata = std::map<std::string, std::string, std::less<>>;

inline constexpr std::string_view kReservedKeyPrefix = "corvantine.";

// Written on every appended event.
inline constexpr std::string_view kStreamNameKey = "corvantine.stream_name";
// Written on the events of a request that carries an idempotency key.
inline constexpr std::string_view kIdempotencyKeyKey = "corvantine.idempotency_key";
inline constexpr std::string_view kRequestDigestKey = "corvantine.request_digest";
// Written on batch open and commit frames.
inline constexpr std::string_view kBatchCountKey = "corvantine.batch_count";
inline constexpr std::string_view kBatchDigestKey = "corvantine.batch_digest";
// Admitted for compatibility; nothing writes them.
inline constexpr std::string_view kV1OffsetKey = "corvantine.v1_offset";
inline constexpr std::string_view kV1NamespaceKey = "corvantine.v1_namespace";

// Checks, in order: empty, invalid UTF-8 or a NUL byte -> "metadata key must
// be nonempty UTF-8 without NUL"; a reserved prefix on a key that is not one
// of the seven reserved keys -> "unknown reserved metadata key {key}" (both
// InvalidFormat).
Result<> ValidateMetadataKey(std::string_view key);
// ValidateMetadataKey for a key already known to be valid UTF-8, which the
// frame decoder tests first with an error of its own.
Result<> ValidateUtf8MetadataKey(std::string_view key);

}  // namespace corvantine::format
