// The registry of the engine handles that the module's objects hold (a
// Corvantine, a Reader and a Watch each keep one), so that a program that
// exits normally leaves no database locked. Every handle is tracked, not only
// a Corvantine's: a Reader or a Watch keeps its engine running after its
// Corvantine is gone. Every call here is made with the interpreter lock held,
// which guards the registry.
#pragma once

#include <sys/types.h>

#include "facade/engine/engine.h"

namespace corvantine::python {

// An engine handle, tracked for its lifetime.
class TrackedEngine {
 public:
  explicit TrackedEngine(facade::Engine engine) noexcept;
  ~TrackedEngine();

  TrackedEngine(const TrackedEngine&) = delete;
  TrackedEngine& operator=(const TrackedEngine&) = delete;

  const facade::Engine& get() const { return engine_; }

  // Closes the engine of every tracked handle as close() does, waking the
  // threads that wait in a watch, but keeping the lock throughout.
  static void CloseAll();

 private:
  facade::Engine engine_;
  pid_t opened_by_;                    // the process whose engine it is
  TrackedEngine* previous_ = nullptr;  // in the registry's list
  TrackedEngine* next_;
};

// Registers the interpreter exit hook with Python's `atexit`. It runs after
// the non-daemon threads are joined and before finalization begins (exit
// hooks registered after it run before it and still find the databases
// open); it closes the exit gate (exit_gate.h), then every tracked engine.
bool CloseEnginesAtExit();

}  // namespace corvantine::python
