#include "format/metadata.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "util/utf8.h"

namespace corvantine::format {

namespace {

constexpr std::array<std::string_view, 7> kReservedKeys = {
    kStreamNameKey, kIdempotencyKeyKey, kRequestDigestKey, kBatchCountKey,
    kBatchDigestKey, kV1OffsetKey, kV1NamespaceKey,
};

CorvantineError NotWellFormed() {
  return CorvantineError::InvalidFormat("metadata key must be nonempty UTF-8 without NUL");
}

}  // namespace

Result<> ValidateMetadataKey(std::string_view key) {
  if (!util::IsValidUtf8(key)) return NotWellFormed();
  return ValidateUtf8MetadataKey(key);
}

Result<> ValidateUtf8MetadataKey(std::string_view key) {
  if (key.empty() || key.find('\0') != std::string_view::npos) return NotWellFormed();
  if (!key.starts_with(kReservedKeyPrefix)) return {};
  if (std::find(kReservedKeys.begin(), kReservedKeys.end(), key) != kReservedKeys.end()) return {};
  return CorvantineError::InvalidFormat(fmt::format("unknown reserved metadata key {}", key));
}

}  // namespace corvantine::format
