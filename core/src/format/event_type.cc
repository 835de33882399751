#include "format/event_type.h"

#include "util/utf8.h"

namespace corvantine::format {

Result<EventType> EventType::New(std::string text) {
  CVN_TRY(Check(text));
  return EventType(std::move(text));
}

Result<> EventType::Check(std::string_view text) {
  if (text.empty()) return CorvantineError::InvalidFormat("event type must not be empty");
  // The frame decoder applies the same rule, so a type accepted here can
  // never make a stored record unreadable.
  if (!util::IsValidUtf8(text)) return CorvantineError::InvalidFormat("event type is not UTF-8");
  if (text.find('\0') != std::string_view::npos) {
    return CorvantineError::InvalidFormat("event type must not contain NUL");
  }
  return {};
}

}  // namespace corvantine::format
