// The class `Reader`: a paged read of one stream that the caller drives.
// The engine holds the read position; a Reader holds its own copy of the
// engine handle, so an open Reader keeps the database open even after its
// Corvantine object is gone, and the engine's reader handle while it is open.
//
//   next_page()  the next page dict (records, continuation, done);
//   cancel()     makes every later next_page raise CancelledError;
//   close()      closes the engine reader; a second close does nothing.
// next_page and cancel after close raise RuntimeError "reader is closed".
// Destroying an open Reader closes its engine reader.
//
// next_page and cancel share the object; close needs it alone. A call that
// meets a conflicting one still waiting on the engine in another thread
// fails at once with RuntimeError "Already mutably borrowed" (shared meets
// alone) or "Already borrowed" (alone meets any).
#pragma once

#include <Python.h>

#include "facade/engine/engine.h"

namespace corvantine::python {

bool AddReaderClass(PyObject* module);

// A new open Reader of the engine reader `handle`. When the object cannot be
// made, the engine reader is closed, so nothing is left open.
PyObject* NewReader(const facade::Engine& engine, facade::ReaderHandle handle);

}  // namespace corvantine::python
