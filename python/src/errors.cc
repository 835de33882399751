#include "errors.h"

#include <string>

#include "feed_bootstrap.h"
#include "py_ref.h"

namespace corvantine::python {

namespace {

enum ExceptionClass {
  kCorvantineError,
  kInvalidArgumentError,
  kConflictError,
  kNotFoundError,
  kLockedError,
  kIoError,
  kCorruptionError,
  kUnsupportedFormatError,
  kCodecError,
  kResourceLimitError,
  kCancelledError,
  kPositionUnavailableError,
  kExceptionClassCount,
};

struct ExceptionClassDef {
  const char* qualified_name;
  PyObject* const* base;
};

// In the order in which the module adds them.
const ExceptionClassDef kExceptionClassDefs[kExceptionClassCount] = {
    {"corvantine.CorvantineError", &PyExc_RuntimeError},
    {"corvantine.InvalidArgumentError", &PyExc_ValueError},
    {"corvantine.ConflictError", &PyExc_ValueError},
    {"corvantine.NotFoundError", &PyExc_KeyError},
    {"corvantine.LockedError", &PyExc_OSError},
    {"corvantine.IoError", &PyExc_OSError},
    {"corvantine.CorruptionError", &PyExc_RuntimeError},
    {"corvantine.UnsupportedFormatError", &PyExc_RuntimeError},
    {"corvantine.CodecError", &PyExc_ValueError},
    {"corvantine.ResourceLimitError", &PyExc_ValueError},
    {"corvantine.CancelledError", &PyExc_RuntimeError},
    {"corvantine.PositionUnavailableError", &PyExc_ValueError},
};

// The classes live for the rest of the process: never released.
PyObject* classes[kExceptionClassCount];

const char* ShortName(const ExceptionClassDef& definition) {
  return std::string_view(definition.qualified_name).substr(sizeof("corvantine.") - 1).data();
}

ExceptionClass ClassOfKind(facade::ErrorKind kind) {
  switch (kind) {
    case facade::ErrorKind::kInvalidArgument: return kInvalidArgumentError;
    case facade::ErrorKind::kConflict: return kConflictError;
    case facade::ErrorKind::kNotFound: return kNotFoundError;
    case facade::ErrorKind::kLocked: return kLockedError;
    case facade::ErrorKind::kCorruption: return kCorruptionError;
    case facade::ErrorKind::kUnsupportedFormat: return kUnsupportedFormatError;
    case facade::ErrorKind::kCodec: return kCodecError;
    case facade::ErrorKind::kIo: return kIoError;
    case facade::ErrorKind::kCancelled: return kCancelledError;
    case facade::ErrorKind::kResourceLimit: return kResourceLimitError;
    case facade::ErrorKind::kInternal: return kCorvantineError;
  }
  return kCorvantineError;
}

ExceptionClass ClassOf(const facade::EngineError& error) {
  if (error.code() == facade::code::kPositionUnavailable.text) return kPositionUnavailableError;
  return ClassOfKind(error.kind());
}

// The descriptor dict, or None without a descriptor or when the dict cannot
// be made: that failure must not hide the engine's error.
Ref BootstrapAttribute(const facade::FeedBootstrapDescriptor* descriptor) {
  Ref dict = Ref::Steal(descriptor == nullptr ? nullptr : FeedBootstrapDict(*descriptor));
  if (!dict) {
    PyErr_Clear();
    return Ref::Borrow(Py_None);
  }
  return dict;
}

// The instance is made at once so that its `bootstrap` attribute can be set;
// a failure to set it is dropped for the same reason.
PyObject* RaisePositionUnavailable(PyObject* message,
                                   const facade::FeedBootstrapDescriptor* descriptor) {
  PyObject* type = classes[kPositionUnavailableError];
  Ref exception = Ref::Steal(PyObject_CallFunctionObjArgs(type, message, nullptr));
  if (!exception) return nullptr;
  Ref bootstrap = BootstrapAttribute(descriptor);
  if (PyObject_SetAttrString(exception.get(), "bootstrap", bootstrap.get()) < 0) PyErr_Clear();
  PyErr_SetObject(type, exception.get());
  return nullptr;
}

}  // namespace

bool AddExceptionClasses(PyObject* module) {
  for (int i = 0; i < kExceptionClassCount; ++i) {
    const ExceptionClassDef& definition = kExceptionClassDefs[i];
    if (classes[i] == nullptr) {
      classes[i] = PyErr_NewException(definition.qualified_name, *definition.base, nullptr);
      if (classes[i] == nullptr) return false;
    }
    if (PyModule_AddObjectRef(module, ShortName(definition), classes[i]) < 0) return false;
  }
  return true;
}

bool AdoptExceptionClasses(PyObject* corvantine_module) {
  for (int i = 0; i < kExceptionClassCount; ++i) {
    if (classes[i] != nullptr) continue;
    classes[i] = PyObject_GetAttrString(corvantine_module, ShortName(kExceptionClassDefs[i]));
    if (classes[i] == nullptr) return false;
  }
  return true;
}

namespace {

PyObject* RaiseOffering(const facade::EngineError& error,
                        const facade::FeedBootstrapDescriptor* bootstrap) {
  Ref message = Ref::Steal(DecodeLossy(error.ToString()));
  if (!message) return nullptr;
  const ExceptionClass type = ClassOf(error);
  if (type == kPositionUnavailableError) return RaisePositionUnavailable(message.get(), bootstrap);
  PyErr_SetObject(classes[type], message.get());
  return nullptr;
}

}  // namespace

PyObject* RaiseEngineError(const facade::EngineError& error) {
  return RaiseOffering(error, nullptr);
}

PyObject* RaiseEngineError(const facade::FeedRefusal& refusal) {
  return RaiseOffering(refusal.reason, refusal.bootstrap ? &*refusal.bootstrap : nullptr);
}

PyObject* RaiseInvalidArgument(const char* message) {
  PyErr_SetString(classes[kInvalidArgumentError], message);
  return nullptr;
}

PyObject* DecodeLossy(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace corvantine::python
