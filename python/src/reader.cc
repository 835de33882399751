#include "reader.h"

#include "borrow.h"
#include "class_support.h"
#include "engine_call.h"
#include "engine_registry.h"
#include "errors.h"
#include "gil.h"
#include "records.h"

namespace corvantine::python {

namespace {

struct ReaderObject {
  PyObject ob_base;
  TrackedEngine* engine;  // owned
  facade::ReaderHandle handle;
  bool open;
  int borrows;  // callers inside a method: > 0 sharing, -1 one alone
};

PyTypeObject* reader_type;

ReaderObject* AsReader(PyObject* self) { return reinterpret_cast<ReaderObject*>(self); }

PyObject* RaiseClosed() {
  PyErr_SetString(PyExc_RuntimeError, "reader is closed");
  return nullptr;
}

// Runs `call(engine, handle)` without the interpreter lock on an open reader
// shared with other calls, and turns its answer into a Python value.
template <typename Call, typename Convert>
PyObject* OnOpenReader(PyObject* self, Call call, Convert convert) {
  ReaderObject* reader = AsReader(self);
  Borrow borrow(reader->borrows, Borrow::kShared);
  if (!borrow.ok()) return nullptr;
  if (!reader->open) return RaiseClosed();
  const facade::Engine& engine = reader->engine->get();
  const facade::ReaderHandle handle = reader->handle;
  return CallEngine([&] { return call(engine, handle); }, convert);
}

PyObject* NextPage(PyObject* self, PyObject*) {
  return OnOpenReader(
      self, [](const facade::Engine& engine, facade::ReaderHandle handle) {
        return engine.NextPage(handle);
      },
      PageDict);
}

PyObject* Cancel(PyObject* self, PyObject*) {
  return OnOpenReader(
      self, [](const facade::Engine& engine, facade::ReaderHandle handle) {
        return engine.CancelReader(handle);
      },
      NoneReply);
}

PyObject* Close(PyObject* self, PyObject*) {
  ReaderObject* reader = AsReader(self);
  Borrow borrow(reader->borrows, Borrow::kAlone);
  if (!borrow.ok()) return nullptr;
  if (!reader->open) Py_RETURN_NONE;
  reader->open = false;  // closed from here on, whatever the engine answers
  const facade::Engine& engine = reader->engine->get();
  const facade::ReaderHandle handle = reader->handle;
  return CallEngine([&] { return engine.CloseReader(handle); }, NoneReply);
}

// With the interpreter lock held, as the engine's last handle may go here.
void Dealloc(PyObject* self) {
  ReaderObject* reader = AsReader(self);
  if (reader->open) static_cast<void>(reader->engine->get().CloseReader(reader->handle));
  delete reader->engine;
  FreeInstance(self);
}

PyMethodDef methods[] = {
    NoArgsEntry<NextPage>("next_page", "next_page($self)\n--\n\n"),
    NoArgsEntry<Cancel>("cancel", "cancel($self)\n--\n\n"),
    NoArgsEntry<Close>("close", "close($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec reader_class = {.name = "builtins.Reader",
                                .basic_size = sizeof(ReaderObject),
                                .dealloc = Dealloc,
                                .methods = methods};

}  // namespace

bool AddReaderClass(PyObject* module) {
  return AddType(module, reader_class, &reader_type);
}

PyObject* NewReader(const facade::Engine& engine, facade::ReaderHandle handle) {
  PyObject* self = AllocInstance(reader_type);
  auto* copy = self != nullptr ? new (std::nothrow) TrackedEngine(engine) : nullptr;
  if (copy == nullptr) {
    if (self != nullptr) {
      FreeInstance(self);
      PyErr_NoMemory();
    }
    static_cast<void>(WithoutGil([&] { return engine.CloseReader(handle); }));
    return nullptr;
  }
  ReaderObject* reader = AsReader(self);
  reader->engine = copy;
  reader->handle = handle;
  reader->open = true;
  return self;
}

}  // namespace corvantine::python
