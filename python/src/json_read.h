// JSON text parsed straight into Python objects, the form in which stored
// event bodies reach Python.
#pragma once

#include <Python.h>

#include <string_view>

#include "text_cache.h"

namespace corvantine::python {

// A new object for one JSON value with only whitespace around it: null,
// true, false as None, True, False; integers as int (a negative one that
// fits 64 bits, or a non-negative one that fits 64 unsigned bits), every
// other number as float; arrays as lists; objects as dicts whose keys come in
// ascending order (of duplicate keys the last wins). Text that is not JSON
// raises ValueError with the engine's JSON message, which names the line and
// column; nesting deeper than 128 is refused as the engine refuses it.
// Object keys come from `keys` when given, so that many documents read
// together share them.
PyObject* ReadJson(std::string_view text, TextCache* keys = nullptr);

}  // namespace corvantine::python
