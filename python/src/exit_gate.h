// The gate through which a thread takes the interpreter lock back after it
// released it around an engine call.
//
// Before 3.14, CPython ends a thread that takes the lock back once the
// interpreter is finalizing by unwinding its stack, and that unwind aborts the
// process when it meets this module's C++ frames. So the gate closes at
// interpreter exit, before finalization begins (CloseExitGate). From then on,
// a thread that would take the lock back parks instead: it sleeps, without
// the lock, until the process ends, as CPython 3.14 does with such threads
// itself. The thread that closed the gate, which goes on to finalize the
// interpreter, always passes.
#pragma once

#include <Python.h>

namespace corvantine::python {

// Once, at module init: makes the gate open again in a forked child, which
// holds none of the threads that may have been on their way to the lock.
bool OpenExitGate();

// PyEval_RestoreThread(state) through the gate: returns with the lock held,
// or, once the gate is closed to the calling thread, never.
void RestoreThread(PyThreadState* state) noexcept;

// With the lock held: closes the gate to every other thread, then, with the
// lock released, waits until each thread that passed the gate before has
// taken the lock, and takes it back.
void CloseExitGate() noexcept;

}  // namespace corvantine::python
