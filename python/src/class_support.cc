#include "class_support.h"

#include "args.h"
#include "py_ref.h"

namespace corvantine::python {

PyObject* NoConstructor(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::Steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %S", name.get());
  return nullptr;
}

bool AddType(PyObject* module, PyType_Spec* spec, PyTypeObject** type) {
  if (*type == nullptr) {
    *type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    if (*type == nullptr) return false;
  }
  return PyModule_AddType(module, *type) == 0;
}

PyObject* AllocInstance(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);
}

void FreeInstance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

PyObject* RaiseCppException(const std::exception& exception) {
  if (dynamic_cast<const std::bad_alloc*>(&exception) != nullptr) return PyErr_NoMemory();
  PyErr_SetString(PyExc_SystemError, exception.what());
  return nullptr;
}

PyObject* ExitByClosing(const char* function, NoArgsMethod close, PyObject* self,
                        PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"_exc_type", "_exc_value", "_traceback"};
  const Parameters parameters{function, kNames, 3, 0};
  PyObject* values[3];
  if (!Bind(parameters, args, nargs, kwnames, values)) return nullptr;
  Ref closed = Ref::Steal(close(self, nullptr));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

}  // namespace corvantine::python
