// The Python layer's errors: the module's twelve exception classes and the
// one mapping of engine errors (facade::EngineError) onto them. Every method
// raises engine errors through RaiseEngineError and its own argument checks
// through RaiseInvalidArgument; the raise functions return null so that a
// method can `return Raise...(...)`.
#pragma once

#include <Python.h>

#include <string_view>

#include "facade/engine/engine.h"

namespace corvantine::python {

// Creates the exception classes, once per process, and adds them to `module`
// under their short names in their fixed order: CorvantineError,
// InvalidArgumentError, ConflictError, NotFoundError, LockedError, IoError,
// CorruptionError, UnsupportedFormatError, CodecError, ResourceLimitError,
// CancelledError, PositionUnavailableError.
bool AddExceptionClasses(PyObject* module);

// For a second extension built from these sources (the test support module):
// uses the classes that the imported `corvantine` module made, so that both
// raise the same classes.
bool AdoptExceptionClasses(PyObject* corvantine_module);

// Raises the class that the error's kind selects, or PositionUnavailableError
// for the code facade::code::kPositionUnavailable whatever its kind; the
// message is "{code}: {message}". A PositionUnavailableError carries the
// attribute `bootstrap`: None here, the descriptor dict (feed_bootstrap.h)
// for a refused feed that offers one.
PyObject* RaiseEngineError(const facade::EngineError& error);
PyObject* RaiseEngineError(const facade::FeedRefusal& refusal);

// InvalidArgumentError with a fixed message of the module's own checks.
PyObject* RaiseInvalidArgument(const char* message);

// A new str of text from the engine, which should be UTF-8 but may carry OS
// messages or file names that are not: bad bytes become U+FFFD rather than a
// UnicodeDecodeError that would hide the real error.
PyObject* DecodeLossy(std::string_view text);

}  // namespace corvantine::python
