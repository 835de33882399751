// The engine layer's error: the one error type that leaves the engine. The
// sequencer converts every core error (error::CorvantineError) into it, the
// engine's own checks build it directly, and the handle builds it when the
// sequencer cannot be reached. Callers match on the stable snake-case code;
// the kind number selects the Python exception class; the message is for
// people.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "error/engine_code.h"
#include "error/error.h"
#include "error/result.h"

namespace corvantine::facade {

// The codes and kinds of error/engine_code.h.
using error::EngineCode;
using error::ErrorKind;
namespace code = error::code;

class EngineError {
 public:
  // `code` is one of error/engine_code.h's.
  EngineError(std::string message, EngineCode code) : message_(std::move(message)), code_(code) {}

  // The core error's display text, with the code and kind that its variant
  // maps to (e.g. RevisionConflict -> "conflict", kind 1).
  static EngineError FromCore(const CorvantineError& error);

  // "engine handle is closed", "engine_closed", kind 8: what every caller of
  // a closed or unreachable engine gets.
  static EngineError Closed();
  static EngineError Invalid(std::string message);   // "invalid_argument", kind 0
  static EngineError Internal(std::string message);  // "internal", kind 10
  // "{what} is {actual}, maximum is {maximum}", "resource_limit", kind 9.
  static EngineError LimitExceeded(std::string_view what, uint64_t actual, uint64_t maximum);
  // "{what} handle was not found", "not_found", kind 2.
  static EngineError HandleNotFound(std::string_view what);
  static EngineError Cancelled(std::string message);    // "cancelled", kind 8
  static EngineError InvalidJson(std::string message);  // "invalid_json", kind 6

  const std::string& message() const { return message_; }
  std::string_view code() const { return code_.text; }
  ErrorKind kind() const { return code_.kind; }
  uint8_t kind_number() const { return static_cast<uint8_t>(code_.kind); }

  // "{code}: {message}", the text of the Python exception.
  std::string ToString() const;

  friend bool operator==(const EngineError& a, const EngineError& b) {
    return a.message_ == b.message_ && a.code() == b.code() && a.kind() == b.kind();
  }

 private:
  std::string message_;
  EngineCode code_;
};

template <typename T = void>
using EngineResult = error::Expected<T, EngineError>;

// A core result with its error converted by EngineError::FromCore.
template <typename T>
EngineResult<T> FromCore(Result<T> result) {
  if (!result.ok()) return EngineError::FromCore(result.error());
  return std::move(result).value();
}
inline EngineResult<> FromCore(Result<> result) {
  if (!result.ok()) return EngineError::FromCore(result.error());
  return {};
}

}  // namespace corvantine::facade
