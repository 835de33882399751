// Python values written straight to compact JSON text, the form in which
// event bodies travel to the engine: no blanks, object keys in ascending
// byte order, strings escaped as the engine's own writer does, floats in
// their shortest round-trip form.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

namespace corvantine::python {

// Writes the JSON text of Python values. The first matching rule wins:
//  - None, True, False: null, true, false;
//  - an int, or an object with __index__: an integer, which must lie in
//    -2**63 .. 2**64-1, else ValueError (never a float that would no longer
//    equal it); an __index__ that raises is passed over;
//  - an object with __float__ (floats first): the float, null for NaN and
//    the infinities;
//  - a str (a lone surrogate fails this rule);
//  - a list: its items in order;
//  - a dict: its entries, whose keys must be str (else TypeError);
//  - anything else: ValueError "object of type {} is not JSON-serializable".
// A container nested deeper than the interpreter's recursion limit, or one
// that holds itself, raises RecursionError. Any Python code that runs on the
// way (an __index__, a __float__) may change the containers being written:
// every object is held while it is in use, so that cannot crash.
//
// The text is always well-formed JSON that the engine's reader accepts but
// for its nesting limit: valid UTF-8, integers in the range above, no
// non-finite number. One writer may write many values, e.g. the bodies of a
// batch: it remembers the key order of the objects it meets, and later
// objects with the very same key objects reuse it.
class JsonWriter {
 public:
  JsonWriter();
  ~JsonWriter();

  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;

  // Appends the JSON text of `value` to *out. On failure a Python exception
  // is set and what was appended must be discarded.
  bool Write(PyObject* value, std::string* out);

  // How deeply arrays and objects nest in the last value written: 0 for a
  // scalar, 1 for [1], 2 for [[1]] or [{}].
  uint32_t depth() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Appends the JSON text of one value to *out, as a new JsonWriter does.
bool WriteJson(PyObject* value, std::string* out);

}  // namespace corvantine::python
