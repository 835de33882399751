// Whole JSON values read at once: built into a document tree, checked and
// discarded, or skipped with looser rules.
#pragma once

#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "util/json_scanner.h"

namespace corvantine::util::json {

class TreeReader : public Scanner {
 public:
  using Scanner::Scanner;

  // Any JSON value, with numbers as in Parse (util/json.h).
  Result<nlohmann::json> ReadValue();

  // Reads one value and discards it, checking it as ReadValue would.
  Result<> SkipValue();

  // Reads one value and discards it with rules that are looser: no nesting limit, no UTF-8 or surrogate check inside strings, no
  // range check of numbers.
  Result<> IgnoreValue();

 private:
  class ContainerStack;
  class DomBuilder;
  struct Discard;

  template <typename Sink>
  Result<> Walk(Mode mode, Sink& sink);
  template <typename Sink>
  Result<> WalkScalar(char first, Mode mode, Sink& sink);
};

}  // namespace corvantine::util::json
