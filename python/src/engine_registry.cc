#include "engine_registry.h"

#include <unistd.h>

#include <utility>

#include "class_support.h"
#include "exit_gate.h"
#include "py_ref.h"

namespace corvantine::python {

namespace {

TrackedEngine* first = nullptr;

// The engines are closed with the lock held, so that no other Python thread
// runs meanwhile to meet a closed database; a thread that wakes from a
// closed engine's wait then parks at the gate.
PyObject* CloseAtExit(PyObject*, PyObject*) {
  CloseExitGate();
  TrackedEngine::CloseAll();
  Py_RETURN_NONE;
}

}  // namespace

TrackedEngine::TrackedEngine(facade::Engine engine) noexcept
    : engine_(std::move(engine)), opened_by_(getpid()), next_(first) {
  if (next_ != nullptr) next_->previous_ = this;
  first = this;
}

TrackedEngine::~TrackedEngine() {
  (previous_ != nullptr ? previous_->next_ : first) = next_;
  if (next_ != nullptr) next_->previous_ = previous_;
}

void TrackedEngine::CloseAll() {
  // A forked child inherits its parent's handles but not the engines'
  // threads, which only the parent can stop.
  const pid_t process = getpid();
  for (TrackedEngine* tracked = first; tracked != nullptr; tracked = tracked->next_) {
    if (tracked->opened_by_ == process) static_cast<void>(tracked->engine_.Close());
  }
}

bool CloseEnginesAtExit() {
  if (!OpenExitGate()) {
    PyErr_SetString(PyExc_RuntimeError, "cannot watch for forked children");
    return false;
  }
  static PyMethodDef hook = NoArgsEntry<CloseAtExit>("close_databases_at_exit", nullptr);
  Ref atexit = Ref::Steal(PyImport_ImportModule("atexit"));
  Ref function = Ref::Steal(atexit ? PyCFunction_NewEx(&hook, nullptr, nullptr) : nullptr);
  return function && Ref::Steal(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
}

}  // namespace corvantine::python
