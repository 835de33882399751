// The class `View`: a registered view (a JSON index the engine keeps up to
// date from durable events) as Corvantine.view returns it. A View holds the
// view's name, the engine's handle of it, looked up once, and a strong
// reference to the Corvantine object that made it, which keeps the engine
// open while the View lives.
//
//   get(key)          the document under the key, or None;
//   by(index, key)    the documents whose indexed field has the key's text
//                     (a string's characters, any other value's compact
//                     JSON: "5" and 5 both look up 5);
//   range(lo, hi)     the documents with lo <= key < hi;
//   prefix(prefix)    the documents whose key starts with the prefix;
//   len()             how many documents the view holds.
// Documents come in ascending key order. Each query first brings the view
// up to the durable head: it answers from every durable event, and from no
// event a crash could still take back. A View made before its view was
// dropped or replaced keeps the old handle and reports what the engine says
// about it.
#pragma once

#include <Python.h>

#include <string_view>

#include "facade/engine/engine.h"

namespace corvantine::python {

bool AddViewClass(PyObject* module);

// A new View of `handle`, named `name`, owned by the Corvantine `owner`.
PyObject* NewView(PyObject* owner, std::string_view name, facade::QueryHandle handle);

}  // namespace corvantine::python
