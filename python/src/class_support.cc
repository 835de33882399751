#include "class_support.h"

#include "args.h"
#include "py_ref.h"

namespace corvantine::python {

PyObject* NoConstructor(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::Steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %S", name.get());
  return nullptr;
}

namespace {

PyTypeObject* MakeType(const ClassSpec& spec) {
  PyType_Slot slots[8] = {
      {Py_tp_new, reinterpret_cast<void*>(&NoConstructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)},
      {Py_tp_methods, spec.methods},
      {Py_tp_doc, const_cast<char*>(spec.doc)},
  };
  int used = 4;
  if (spec.repr != nullptr) slots[used++] = {Py_tp_repr, reinterpret_cast<void*>(spec.repr)};
  if (spec.iter != nullptr) slots[used++] = {Py_tp_iter, reinterpret_cast<void*>(spec.iter)};
  if (spec.iternext != nullptr) {
    slots[used++] = {Py_tp_iternext, reinterpret_cast<void*>(spec.iternext)};
  }
  slots[used] = {0, nullptr};
  PyType_Spec type_spec = {spec.name, spec.basic_size, 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace

bool AddType(PyObject* module, const ClassSpec& spec, PyTypeObject** type) {
  if (*type == nullptr) {
    *type = MakeType(spec);
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
