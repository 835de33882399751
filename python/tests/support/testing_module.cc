// _corvantine_testing: what the Python suites need beyond the public API,
// built from the module's own sources so that they are tested as they are.
//
//   raise_engine_error(code, kind, message)
//       raises exactly what `corvantine` raises for an engine error with that
//       code, kind number and message (bytes, not necessarily UTF-8);
//   to_json(value) -> str, from_json(text: bytes) -> object
//       the module's own conversions of event bodies, both ways;
//   append_bytes_event(path, namespace, body)
//       appends one event whose body is stored with the bytes codec to the
//       database at `path`, which must not be open: the module itself only
//       writes JSON bodies;
//   open_segmented(path, segment_bytes) -> Corvantine
//       opens a database whose segments roll at `segment_bytes`, so that
//       retention has segments to reclaim without writing 64 MiB each. Its
//       classes are this module's copies (_corvantine_testing.Corvantine
//       and so on), which run the same code as corvantine's;
//   raise_position_unavailable(descriptor)
//       reads `descriptor` as resume_watch does and raises the
//       PositionUnavailableError that a feed carrying it would raise.
#include <Python.h>

#include <set>
#include <string>

#include "database.h"
#include "engine_registry.h"
#include "errors.h"
#include "facade/engine/engine.h"
#include "feed_bootstrap.h"
#include "json_read.h"
#include "json_write.h"
#include "py_ref.h"

namespace corvantine::python {
namespace {

PyObject* RaiseEngineErrorFor(PyObject*, PyObject* args) {
  const char* code = nullptr;
  int kind = 0;
  const char* message = nullptr;
  Py_ssize_t size = 0;
  if (!PyArg_ParseTuple(args, "siy#", &code, &kind, &message, &size)) return nullptr;
  // Engine codes are static strings: keep each one for good.
  static std::set<std::string> codes;
  const char* stable = codes.insert(code).first->c_str();
  const facade::EngineCode engine_code{stable, static_cast<facade::ErrorKind>(kind)};
  return RaiseEngineError(
      facade::EngineError(std::string(message, static_cast<size_t>(size)), engine_code));
}

PyObject* ToJson(PyObject*, PyObject* value) {
  std::string text;
  if (!WriteJson(value, &text)) return nullptr;
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* FromJson(PyObject*, PyObject* text) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(text, &data, &size) < 0) return nullptr;
  return ReadJson(std::string_view(data, static_cast<size_t>(size)));
}

PyObject* AppendBytesEvent(PyObject*, PyObject* args) {
  const char* path = nullptr;
  const char* stream = nullptr;
  const char* body = nullptr;
  Py_ssize_t size = 0;
  if (!PyArg_ParseTuple(args, "ssy#", &path, &stream, &body, &size)) return nullptr;
  facade::OpenConfig config;
  config.path = path;
  auto engine = facade::Engine::Open(config);
  if (!engine.ok()) return RaiseEngineError(engine.error());
  facade::AppendBatch batch;
  batch.stream = stream;
  facade::EventData& event = batch.events.emplace_back();
  event.codec = facade::EventCodec::kBytes;
  event.body.assign(body, static_cast<size_t>(size));
  auto receipt = engine->Append(std::move(batch));
  if (!receipt.ok()) return RaiseEngineError(receipt.error());
  auto closed = engine->Close();
  if (!closed.ok()) return RaiseEngineError(closed.error());
  return PyLong_FromUnsignedLongLong(receipt->first_position);
}

PyObject* OpenSegmented(PyObject*, PyObject* args) {
  const char* path = nullptr;
  unsigned long long segment_bytes = 0;
  if (!PyArg_ParseTuple(args, "sK", &path, &segment_bytes)) return nullptr;
  facade::OpenConfig config;
  config.path = path;
  config.segment_bytes = segment_bytes;
  return OpenDatabase(std::move(config));
}

PyObject* RaisePositionUnavailable(PyObject*, PyObject* dict) {
  facade::FeedBootstrapDescriptor descriptor;
  if (!PyDict_Check(dict)) return PyErr_Format(PyExc_TypeError, "descriptor must be a dict");
  if (!FeedBootstrapFromPy(dict, &descriptor)) return nullptr;
  facade::FeedRefusal refusal(
      facade::EngineError("position 0 is unavailable", facade::code::kPositionUnavailable));
  refusal.bootstrap = std::move(descriptor);
  return RaiseEngineError(refusal);
}

PyMethodDef functions[] = {
    {"raise_engine_error", &RaiseEngineErrorFor, METH_VARARGS, nullptr},
    {"to_json", &ToJson, METH_O, nullptr},
    {"from_json", &FromJson, METH_O, nullptr},
    {"append_bytes_event", &AppendBytesEvent, METH_VARARGS, nullptr},
    {"open_segmented", &OpenSegmented, METH_VARARGS, nullptr},
    {"raise_position_unavailable", &RaisePositionUnavailable, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_corvantine_testing",
    nullptr,
    -1,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvantine::python

PyMODINIT_FUNC PyInit__corvantine_testing() {
  using namespace corvantine::python;
  Ref corvantine = Ref::Steal(PyImport_ImportModule("corvantine"));
  if (!corvantine || !AdoptExceptionClasses(corvantine.get())) return nullptr;
  Ref module = Ref::Steal(PyModule_Create(&module_def));
  if (!module || !AddClasses(module.get()) || !CloseEnginesAtExit()) return nullptr;
  return module.Release();
}
