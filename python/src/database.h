// The class `Corvantine`, the handle of one open database, and the function
// `open` that makes one (also the static method Corvantine.open).
//
// A Corvantine holds one engine handle. close() and leaving a `with` block
// stop the engine; every later call that reaches it raises CancelledError
// "engine_closed: engine handle is closed", while close() itself still
// succeeds. Dropping the object without close stops the engine once no
// Reader of it is left either. At interpreter exit, every engine still open
// is closed (engine_registry.h).
#pragma once

#include <Python.h>

#include "facade/engine/engine.h"

namespace corvantine::python {

// Makes the module's interned keys and adds its four classes to `module`,
// in their order: Corvantine, View, Reader, Watch.
bool AddClasses(PyObject* module);
bool AddOpenFunction(PyObject* module);

// Starts an engine on `config` with the interpreter lock released and
// returns a new Corvantine holding it. `open` leaves the segment size to the
// engine; the test support module sets it, with classes of its own: each
// extension built from these sources has its own copy of them.
PyObject* OpenDatabase(facade::OpenConfig config);

}  // namespace corvantine::python
