#include "format/cursor.h"

#include <cstring>

namespace corvantine::format {

CorvantineError Cursor::Truncated() { return CorvantineError::InvalidFormat("truncated v2 envelope"); }

Result<util::Bytes16> Cursor::Array16() {
  util::Bytes16 bytes;
  CVN_ASSIGN_OR_RETURN(std::string_view raw, Take(bytes.size()));
  std::memcpy(bytes.data(), raw.data(), bytes.size());
  return bytes;
}

Result<std::string_view> Cursor::ShortBytes(uint16_t limit) {
  CVN_ASSIGN_OR_RETURN(uint16_t length, U16());
  if (length > limit) return CorvantineError::ResourceLimit("short byte string", length, limit);
  return Take(length);
}

}  // namespace corvantine::format
