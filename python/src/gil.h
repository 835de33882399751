// Engine calls block until the sequencer answers, so each runs with the
// interpreter lock released, at least for any wait longer than a few
// microseconds, and other Python threads keep running. Only plain C++ values
// may cross into an engine call: no Python object is touched there, and no
// Ref is created or destroyed. The lock is always taken back through the
// exit gate (exit_gate.h).
#pragma once

#include <Python.h>

#include <chrono>

#include "exit_gate.h"
#include "facade/engine/engine.h"

namespace corvantine::python {

// Releases the interpreter lock for its lifetime, the exception-safe form of
// Py_BEGIN_ALLOW_THREADS / Py_END_ALLOW_THREADS.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { RestoreThread(state_); }

  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` with the lock released and returns its result.
template <typename Work>
auto WithoutGil(Work&& work) -> decltype(work()) {
  GilReleased released;
  return work();
}

namespace gil_internal {

inline void Release(void* saved) { *static_cast<PyThreadState**>(saved) = PyEval_SaveThread(); }
inline void Reacquire(void* saved) { RestoreThread(*static_cast<PyThreadState**>(saved)); }

}  // namespace gil_internal

// Runs `work`, one engine call that answers through the command channel,
// keeping the lock while the answer comes within a few microseconds and
// releasing it for any longer wait. Another Python thread that waits for the
// lock would otherwise take it over at every quick call, and each such
// handover costs a thread wake-up, far more than the call.
template <typename Work>
auto WithGilWhileQuick(Work&& work) -> decltype(work()) {
  PyThreadState* saved = nullptr;
  const facade::WaitHooks hooks{std::chrono::microseconds(20), gil_internal::Release,
                                gil_internal::Reacquire, &saved};
  facade::ScopedWaitHooks scoped(&hooks);
  return work();
}

}  // namespace corvantine::python
