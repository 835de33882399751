#include "log/record.h"

#include "util/coding.h"
#include "util/crc32c.h"

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

Result<BatchControl> ParseBatchControl(std::string_view payload) {
  if (payload.size() != BatchControl::kBytes) {
    return CorvantineError::InvalidFormat("batch control payload must be eight bytes");
  }
  BatchControl control{.count = util::DecodeFixed32(payload.data()),
                       .digest = util::DecodeFixed32(payload.data() + 4)};
  if (control.count == 0) {
    return CorvantineError::InvalidFormat("batch control count must be nonzero");
  }
  return control;
}

void EncodeBatchControl(BatchControl control, char* dst) {
  util::EncodeFixed32(dst, control.count);
  util::EncodeFixed32(dst + 4, control.digest);
}

void BatchTally::AddEvent(std::string_view frame) {
  crc_ = util::crc32c::Extend(crc_, frame.data(), frame.size());
  ++events_;
}

bool BatchTally::Matches(BatchControl commit) const {
  return commit.count == open_.count && commit.digest == open_.digest &&
         events_ == open_.count && crc_ == open_.digest;
}

}  // namespace corvantine::log::record
