#include "view.h"

#include <new>
#include <string>
#include <utility>

#include "args.h"
#include "class_support.h"
#include "database_methods.h"
#include "debug_quote.h"
#include "engine_call.h"
#include "errors.h"
#include "json_read.h"
#include "json_write.h"
#include "py_ref.h"

namespace corvantine::python {

namespace {

struct ViewObject {
  PyObject ob_base;
  std::string* name;  // owned
  PyObject* owner;    // a strong reference to the Corvantine object
  facade::QueryHandle handle;
};

PyTypeObject* view_type;

ViewObject* AsView(PyObject* self) { return reinterpret_cast<ViewObject*>(self); }

constexpr const char* kGetNames[] = {"key"};
constexpr Parameters kGet{"View.get", kGetNames, 1, 1};
constexpr const char* kByNames[] = {"index", "key"};
constexpr Parameters kBy{"View.by", kByNames, 2, 2};
constexpr const char* kRangeNames[] = {"lo", "hi"};
constexpr Parameters kRange{"View.range", kRangeNames, 2, 2};
constexpr const char* kPrefixNames[] = {"prefix"};
constexpr Parameters kPrefix{"View.prefix", kPrefixNames, 1, 1};

// Asks the view's engine and converts the answer, keeping the lock while
// the answer is quick: a view in step with the durable head answers in a few
// microseconds. The engine brings the view up to the durable head first.
template <typename Convert>
PyObject* Ask(PyObject* self, facade::QueryOperation operation, Convert convert) {
  const ViewObject* view = AsView(self);
  const facade::Engine& engine = EngineOf(view->owner);
  const facade::QueryHandle handle = view->handle;
  return CallEngineQuick(
      [&] { return engine.Query(handle, std::move(operation), facade::QueryConsistency()); },
      convert);
}

PyObject* RowList(const facade::QueryResult& result) {
  Ref list = Ref::Steal(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& row : result.rows) {
    Ref value = Ref::Steal(ReadJson(row));
    if (!value || PyList_Append(list.get(), value.get()) != 0) return nullptr;
  }
  return list.Release();
}

PyObject* FirstRow(const facade::QueryResult& result) {
  if (result.rows.empty()) Py_RETURN_NONE;
  return ReadJson(result.rows.front());
}

PyObject* Total(const facade::QueryResult& result) {
  return PyLong_FromUnsignedLongLong(result.total);
}

PyObject* Get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  std::string_view key;
  if (!Bind(kGet, args, nargs, kwnames, values) || !ArgStr(values[0], "key", &key)) {
    return nullptr;
  }
  return Ask(self, projection::GetQuery{std::string(key)}, FirstRow);
}

// A string's characters; any other value's compact JSON.
bool KeyText(PyObject* key, std::string* out) {
  if (PyUnicode_Check(key)) {
    std::string_view text;
    if (!ToStr(key, &text)) return false;
    out->assign(text);
    return true;
  }
  return WriteJson(key, out);
}

PyObject* By(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[2];
  std::string_view index;
  std::string key;
  if (!Bind(kBy, args, nargs, kwnames, values) || !ArgStr(values[0], "index", &index) ||
      !KeyText(values[1], &key)) {
    return nullptr;
  }
  return Ask(self, projection::ByQuery{std::string(index), std::move(key)}, RowList);
}

PyObject* Range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[2];
  std::string_view lo;
  std::string_view hi;
  if (!Bind(kRange, args, nargs, kwnames, values) || !ArgStr(values[0], "lo", &lo) ||
      !ArgStr(values[1], "hi", &hi)) {
    return nullptr;
  }
  return Ask(self, projection::RangeQuery{std::string(lo), std::string(hi)}, RowList);
}

PyObject* Prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  std::string_view prefix;
  if (!Bind(kPrefix, args, nargs, kwnames, values) || !ArgStr(values[0], "prefix", &prefix)) {
    return nullptr;
  }
  return Ask(self, projection::PrefixQuery{std::string(prefix)}, RowList);
}

PyObject* Len(PyObject* self, PyObject*) { return Ask(self, projection::LenQuery{}, Total); }

PyObject* Repr(PyObject* self) {
  std::string text = "<corvantine.View ";
  if (!DebugQuoted(*AsView(self)->name, &text)) return nullptr;
  text += '>';
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void Dealloc(PyObject* self) {
  ViewObject* view = AsView(self);
  delete view->name;
  PyObject* owner = view->owner;
  FreeInstance(self);
  Py_XDECREF(owner);  // may close the engine: last, with the lock held
}

PyMethodDef methods[] = {
    FastCallEntry<Get>("get", "get($self, key)\n--\n\n"),
    FastCallEntry<By>("by", "by($self, index, key)\n--\n\n"),
    FastCallEntry<Range>("range", "range($self, lo, hi)\n--\n\n"),
    FastCallEntry<Prefix>("prefix", "prefix($self, prefix)\n--\n\n"),
    NoArgsEntry<Len>("len", "len($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec view_class = {.name = "builtins.View",
                              .basic_size = sizeof(ViewObject),
                              .dealloc = Dealloc,
                              .methods = methods,
                              .repr = Repr};

}  // namespace

bool AddViewClass(PyObject* module) {
  return AddType(module, view_class, &view_type);
}

PyObject* NewView(PyObject* owner, std::string_view name, facade::QueryHandle handle) {
  PyObject* self = AllocInstance(view_type);
  if (self == nullptr) return nullptr;
  ViewObject* view = AsView(self);
  view->name = new (std::nothrow) std::string(name);
  view->owner = Py_NewRef(owner);
  view->handle = handle;
  if (view->name == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return self;
}

}  // namespace corvantine::python
