// The module's initialisation: what `import corvantine` registers, in
// order: the classes (Corvantine, View, Reader, Watch), the function `open`,
// the exception classes and __version__, and the exit hook that closes every
// database still open (engine_registry.h). Beyond that registry and the exit
// gate, the module keeps no state of its own.
#include <Python.h>

#include "database.h"
#include "engine_registry.h"
#include "errors.h"
#include "py_ref.h"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "corvantine", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_corvantine() {
  using namespace corvantine::python;
  Ref module = Ref::Steal(PyModule_Create(&module_def));
  if (!module || !AddClasses(module.get()) || !AddOpenFunction(module.get()) ||
      !AddExceptionClasses(module.get()) ||
      PyModule_AddStringConstant(module.get(), "__version__", "0.2.0") < 0 ||
      !CloseEnginesAtExit()) {
    return nullptr;
  }
  return module.Release();
}
