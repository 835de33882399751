// The validated event type of a record.
#pragma once

#include <compare>
#include <string>
#include <string_view>
#include <utility>

#include "error/error.h"

namespace corvantine::format {

// An event type is a non-empty, strictly valid UTF-8 string without NUL
// bytes. The type sets no length limit; a record frame admits at most its
// limit's max_event_type_bytes.
class EventType {
 public:
  // The engine's default type. It is also the value of a default-constructed
  // EventType, so every EventType is valid.
  static constexpr std::string_view kDefault = "application.json";

  EventType() : text_(kDefault) {}

  // Checks, in order: empty -> "event type must not be empty"; invalid UTF-8
  // -> "event type is not UTF-8"; a NUL byte -> "event type must not contain
  // NUL" (all InvalidFormat). The text is kept unchanged.
  static Result<EventType> New(std::string text);
  // The checks of New, without making an event type.
  static Result<> Check(std::string_view text);

  const std::string& str() const { return text_; }
  size_t size() const { return text_.size(); }

  friend bool operator==(const EventType&, const EventType&) = default;
  friend auto operator<=>(const EventType&, const EventType&) = default;

 private:
  explicit EventType(std::string text) : text_(std::move(text)) {}

  std::string text_;
};

}  // namespace corvantine::format
