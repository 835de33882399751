#include "log/record.h"

namespace corvantine::log::record {

Result<> EncodeKind(uint8_t kind, uint64_t position, const format::RecordEnvelopeV2& envelope,
                    std::string_view payload, std::string* out) {
  return format::EncodeFrame(kind, /*flags=*/0, position, envelope, payload, kStandardLimits, out);
}

Result<std::optional<format::OwnedStoredRecord>> DecodeOwned(std::string_view bytes) {
  CVN_ASSIGN_OR_RETURN(std::optional<format::StoredRecord> record,
                       format::Decode(bytes, kStandardLimits));
  if (!record) return std::nullopt;
  return format::ToOwned(std::move(*record));
}

}  // namespace corvantine::log::record
