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

bool IsReservedKey(std::string_view key) {
  return std::find(kReservedKeys.begin(), kReservedKeys.end(), key) != kReservedKeys.end();
}

CorvantineError NotWellFormed() {
  return CorvantineError::InvalidFormat("metadata key must be nonempty UTF-8 without NUL");
}

}  // namespace

Result<> ValidateMetadataKey(std::string_view key) {
  // A reserved key is well formed; every event written carries one.
  if (IsReservedKey(key)) return {};
  if (!util::IsValidUtf8(key)) return NotWellFormed();
  return ValidateUtf8MetadataKey(key);
}

Result<> ValidateUtf8MetadataKey(std::string_view key) {
  if (key.empty() || key.find('\0') != std::string_view::npos) return NotWellFormed();
  if (!key.starts_with(kReservedKeyPrefix) || IsReservedKey(key)) return {};
  return CorvantineError::InvalidFormat(fmt::format("unknown reserved metadata key {}", key));
}

}  // namespace corvantine::format
