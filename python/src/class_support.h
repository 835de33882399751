// What the module's classes share: instances made only by the module's own
// calls, and method entry points that the interpreter can call safely.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace corvantine::python {

// The tp_new of every class: Python code cannot construct one, and calling a
// class raises TypeError "No constructor defined for {class name}".
PyObject* NoConstructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// One of the module's classes: an immutable type whose instances only the
// module's own calls make (its tp_new is NoConstructor).
struct ClassSpec {
  const char* name;  // "builtins.{class name}", kept by the type
  int basic_size;    // of the instance struct
  destructor dealloc;
  PyMethodDef* methods;  // kept by the type
  const char* doc = "";
  reprfunc repr = nullptr;
  getiterfunc iter = nullptr;
  iternextfunc iternext = nullptr;
};

// Adds the class of `spec` to `module`, making its heap type on the first
// call and keeping it in *type, where the module's own calls find it.
bool AddType(PyObject* module, const ClassSpec& spec, PyTypeObject** type);

// A new zeroed instance of `type`, or null with the error set.
PyObject* AllocInstance(PyTypeObject* type);
// Frees an instance whose own fields are already released, and drops its
// reference to its heap type.
void FreeInstance(PyObject* self);

// A C++ exception must not cross into the interpreter: the entry points below
// turn one into MemoryError (out of memory) or SystemError.
PyObject* RaiseCppException(const std::exception& exception);

using FastMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
using NoArgsMethod = PyObject* (*)(PyObject* self, PyObject* unused);

template <FastMethod Method>
PyObject* Guarded(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  try {
    return Method(self, args, nargs, kwnames);
  } catch (const std::exception& exception) {
    return RaiseCppException(exception);
  }
}

template <NoArgsMethod Method>
PyObject* Guarded(PyObject* self, PyObject* unused) {
  try {
    return Method(self, unused);
  } catch (const std::exception& exception) {
    return RaiseCppException(exception);
  }
}

// The body of a closing context manager's __exit__ (`function` names it in
// argument errors): binds its three optional arguments, calls `close`
// whether or not the block raised, and returns False so that the block's
// exception goes on.
PyObject* ExitByClosing(const char* function, NoArgsMethod close, PyObject* self,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Method table entries: METH_FASTCALL | METH_KEYWORDS or METH_NOARGS, with
// `doc` the text signature ("name($self, a, b=None)\n--\n\n") and any doc
// line after it.
template <FastMethod Method>
PyMethodDef FastCallEntry(const char* name, const char* doc, int extra_flags = 0) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Guarded<Method>)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

template <NoArgsMethod Method>
PyMethodDef NoArgsEntry(const char* name, const char* doc) {
  return {name, &Guarded<Method>, METH_NOARGS, doc};
}

}  // namespace corvantine::python
