// Expected<T, E>: either a value or an error, never both, with the macros
// that pass a failure up. The core's Result<T> and the engine's
// EngineResult<T> are Expected of their layer's error type. Errors travel as
// values; nothing in the core throws across a module boundary. This header
// sits at the bottom of the module graph, so every module can use it.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvantine::error {

template <typename T, typename E>
class [[nodiscard]] Expected {
 public:
  Expected(const T& value) : state_(std::in_place_index<0>, value) {}
  Expected(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(const E& error) : state_(std::in_place_index<1>, error) {}
  Expected(E&& error) : state_(std::in_place_index<1>, std::move(error)) {}
  template <typename U,
            typename = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                        !std::is_same_v<std::decay_t<U>, T> &&
                                        !std::is_same_v<std::decay_t<U>, E> &&
                                        !std::is_same_v<std::decay_t<U>, Expected>>>
  Expected(U&& value) : state_(std::in_place_index<0>, T(std::forward<U>(value))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { assert(ok()); return *std::get_if<0>(&state_); }
  const T& value() const& { assert(ok()); return *std::get_if<0>(&state_); }
  T&& value() && { assert(ok()); return std::move(*std::get_if<0>(&state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { assert(!ok()); return *std::get_if<1>(&state_); }
  const E& error() const& { assert(!ok()); return *std::get_if<1>(&state_); }
  E&& error() && { assert(!ok()); return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, E> state_;
};

template <typename E>
class [[nodiscard]] Expected<void, E> {
 public:
  // User-provided, so that `return {}` constructs the empty optional instead
  // of value-initialising (zero-filling) the whole error slot first.
  Expected() {}
  Expected(const E& error) : error_(error) {}
  Expected(E&& error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  E& error() & { assert(!ok()); return *error_; }
  const E& error() const& { assert(!ok()); return *error_; }
  E&& error() && { assert(!ok()); return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace corvantine::error

#define CVN_CONCAT_INNER(a, b) a##b
#define CVN_CONCAT(a, b) CVN_CONCAT_INNER(a, b)

// Returns the error of a failed Result from the enclosing function.
#define CVN_TRY(expr)                                   \
  do {                                                  \
    auto cvn_try_result = (expr);                       \
    if (!cvn_try_result.ok()) {                         \
      return std::move(cvn_try_result).error();         \
    }                                                   \
  } while (0)

// Declares or assigns `lhs` from a successful Result, else returns its error.
#define CVN_ASSIGN_OR_RETURN(lhs, expr) \
  CVN_ASSIGN_OR_RETURN_IMPL(CVN_CONCAT(cvn_result_, __LINE__), lhs, expr)
#define CVN_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                              \
  if (!tmp.ok()) return std::move(tmp).error();   \
  lhs = std::move(tmp).value()
