#include "format/cursor.h"

namespace corvantine::format {

CorvantineError Cursor::Truncated() { return CorvantineError::InvalidFormat("truncated v2 envelope"); }

Result<std::string_view> Cursor::ShortBytes(uint16_t limit) {
  CVN_ASSIGN_OR_RETURN(uint16_t length, U16());
  if (length > limit) return CorvantineError::ResourceLimit("short byte string", length, limit);
  return Take(length);
}

}  // namespace corvantine::format
