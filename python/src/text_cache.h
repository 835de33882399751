// The strs of one read, each distinct short text made once. The rows of a
// read mostly repeat their namespace, event type, metadata keys and the keys
// of their bodies; sharing one str per text spares the allocation, and the
// str keeps its hash for the dict inserts that follow.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "py_ref.h"

namespace corvantine::python {

class TextCache {
 public:
  TextCache() = default;
  TextCache(const TextCache&) = delete;
  TextCache& operator=(const TextCache&) = delete;

  // A new reference to the str of `text`; bytes that are not UTF-8 become
  // U+FFFD. Null with the error set when the str cannot be made.
  PyObject* Get(std::string_view text);

 private:
  // A direct-mapped table: a text that meets another in its slot replaces
  // it, which costs one str more and never a wrong one.
  static constexpr size_t kSlots = 512;
  // Longer texts are rarely repeated and are made afresh.
  static constexpr size_t kMaxCachedBytes = 64;

  struct Slot {
    std::string text;
    Ref string;
  };

  std::vector<Slot> slots_;  // sized on first use
};

}  // namespace corvantine::python
