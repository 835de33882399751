// Corvantine.register_view, deregister_view, view and rebuild_projection,
// and the snapshot calls create_snapshot, list_snapshots, verify_snapshot,
// delete_snapshot and delete_all_derived_state. Views are named; a name is
// resolved to the engine's handle by an engine call of its own, so other
// requests may run between the lookup and the operation.
#include <map>
#include <optional>
#include <string>
#include <vector>
#include <utility>

#include "args.h"
#include "database_methods.h"
#include "engine_call.h"
#include "errors.h"
#include "json_write.h"
#include "py_ref.h"
#include "records.h"
#include "view.h"

namespace corvantine::python {

namespace {

constexpr const char* kRegisterViewNames[] = {"name", "key", "indexes", "where_field",
                                              "where_value"};
constexpr Parameters kRegisterView{"Corvantine.register_view", kRegisterViewNames, 5, 2};
constexpr const char* kNameNames[] = {"name"};
constexpr Parameters kDeregisterView{"Corvantine.deregister_view", kNameNames, 1, 1};
constexpr Parameters kView{"Corvantine.view", kNameNames, 1, 1};
constexpr const char* kProjectionNames[] = {"projection"};
constexpr Parameters kRebuildProjection{"Corvantine.rebuild_projection", kProjectionNames, 1, 1};
constexpr Parameters kCreateSnapshot{"Corvantine.create_snapshot", kProjectionNames, 1, 1};
constexpr Parameters kListSnapshots{"Corvantine.list_snapshots", kProjectionNames, 1, 1};
constexpr const char* kSnapshotIdNames[] = {"snapshot_id"};
constexpr Parameters kVerifySnapshot{"Corvantine.verify_snapshot", kSnapshotIdNames, 1, 1};
constexpr Parameters kDeleteSnapshot{"Corvantine.delete_snapshot", kSnapshotIdNames, 1, 1};

// None, or a dict of str to str, sorted by key.
bool ArgIndexes(PyObject* value, std::map<std::string, std::string>* out) {
  if (value == nullptr || value == Py_None) return true;
  if (!ArgDict(value, "indexes")) return false;
  PyObject* key;
  PyObject* field;
  Py_ssize_t at = 0;
  while (PyDict_Next(value, &at, &key, &field)) {
    std::string_view key_text;
    std::string_view field_text;
    if (!ArgStr(key, "indexes", &key_text) || !ArgStr(field, "indexes", &field_text)) return false;
    out->insert_or_assign(std::string(key_text), std::string(field_text));
  }
  return true;
}

// Both given: the filter; neither: none; one alone is refused rather than
// registering a view that admits every document.
bool ArgFilter(PyObject* field, PyObject* value, std::optional<facade::QueryFilter>* out) {
  std::optional<std::string_view> field_text;
  if (!ArgOptionalStr(field, "where_field", &field_text)) return false;
  const bool has_value = value != nullptr && value != Py_None;
  if (field_text.has_value() != has_value) {
    RaiseInvalidArgument("where_field and where_value must be given together");
    return false;
  }
  if (!has_value) return true;
  std::string json;
  if (!WriteJson(value, &json)) return false;
  *out = facade::QueryFilter{std::string(*field_text), std::move(json)};
  return true;
}

// Resolves the view name bound from the call, then asks `call(engine,
// handle)` with the lock released, and converts its answer.
template <typename Call, typename Convert>
PyObject* OnNamedView(const Parameters& parameters, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, Call call, Convert convert) {
  std::string name;
  if (!BindOneStr(parameters, args, nargs, kwnames, &name)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.QueryNamed(std::move(name)); },
                    [&](facade::QueryHandle handle) {
                      return CallEngine([&] { return call(engine, handle); }, convert);
                    });
}

// {"id", "projection", "cursor", "created_at_unix_nanos", "state_bytes"}.
PyObject* SnapshotDict(const facade::SnapshotInfo& info) {
  const auto& manifest = info.manifest;
  DictItem items[] = {
      {"id", Ref::Steal(DecodeLossy(info.id))},
      {"projection", Ref::Steal(DecodeLossy(manifest.projection_name))},
      {"cursor", Ref::Steal(PyLong_FromUnsignedLongLong(manifest.cursor.position))},
      {"created_at_unix_nanos", Ref::Steal(PyLong_FromLongLong(manifest.created_at_unix_nanos))},
      {"state_bytes", Ref::Steal(PyLong_FromUnsignedLongLong(manifest.uncompressed_len))},
  };
  return DictOf(items);
}

PyObject* SnapshotList(const std::vector<facade::SnapshotInfo>& infos) {
  Ref list = Ref::Steal(PyList_New(0));
  if (!list) return nullptr;
  for (const facade::SnapshotInfo& info : infos) {
    Ref dict = Ref::Steal(SnapshotDict(info));
    if (!dict || PyList_Append(list.get(), dict.get()) != 0) return nullptr;
  }
  return list.Release();
}

PyObject* Bool(bool value) { return PyBool_FromLong(value); }

}  // namespace

PyObject* RegisterView(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  PyObject* values[5];
  std::string_view name;
  facade::QueryDefinition definition;
  std::string_view key;
  if (!Bind(kRegisterView, args, nargs, kwnames, values) || !ArgStr(values[0], "name", &name) ||
      !ArgStr(values[1], "key", &key) || !ArgIndexes(values[2], &definition.indexes) ||
      !ArgFilter(values[3], values[4], &definition.filter)) {
    return nullptr;
  }
  definition.key_field.assign(key);
  std::string owned(name);
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.RegisterQuery(std::move(owned), std::move(definition)); },
                    NoneReply);
}

PyObject* DeregisterView(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  std::string name;
  if (!BindOneStr(kDeregisterView, args, nargs, kwnames, &name)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.RemoveQuery(std::move(name)); }, Bool);
}

PyObject* View(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string name;
  if (!BindOneStr(kView, args, nargs, kwnames, &name)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.QueryNamed(name); },
                    [&](facade::QueryHandle handle) { return NewView(self, name, handle); });
}

PyObject* RebuildProjection(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return OnNamedView(
      kRebuildProjection, self, args, nargs, kwnames,
      [](const facade::Engine& engine, facade::QueryHandle handle) {
        return engine.RebuildProjection(handle);
      },
      NoneReply);
}

PyObject* CreateSnapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return OnNamedView(
      kCreateSnapshot, self, args, nargs, kwnames,
      [](const facade::Engine& engine, facade::QueryHandle handle) {
        return engine.CreateSnapshot(handle);
      },
      SnapshotDict);
}

PyObject* ListSnapshots(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return OnNamedView(
      kListSnapshots, self, args, nargs, kwnames,
      [](const facade::Engine& engine, facade::QueryHandle handle) {
        return engine.ListSnapshots(handle);
      },
      SnapshotList);
}

PyObject* VerifySnapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  std::string id;
  if (!BindOneStr(kVerifySnapshot, args, nargs, kwnames, &id)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.VerifySnapshot(std::move(id)); }, SnapshotDict);
}

PyObject* DeleteSnapshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  std::string id;
  if (!BindOneStr(kDeleteSnapshot, args, nargs, kwnames, &id)) return nullptr;
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.DeleteSnapshot(std::move(id)); }, Bool);
}

PyObject* DeleteAllDerivedState(PyObject* self, PyObject*) {
  const facade::Engine& engine = EngineOf(self);
  return CallEngine([&] { return engine.DeleteAllDerivedState(); }, NoneReply);
}

}  // namespace corvantine::python
