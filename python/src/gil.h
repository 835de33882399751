// Engine calls block until the sequencer answers, so each runs with the
// interpreter lock released and other Python threads keep running. Only
// plain C++ values may cross into the released stretch: no Python object is
// touched there, and no Ref is created or destroyed.
#pragma once

#include <Python.h>

namespace corvantine::python {

// Releases the interpreter lock for its lifetime, the exception-safe form of
// Py_BEGIN_ALLOW_THREADS / Py_END_ALLOW_THREADS.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }

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

}  // namespace corvantine::python
