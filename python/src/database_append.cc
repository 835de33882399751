// Corvantine.append, append_receipt, append_branch and append_batch.
#include <algorithm>
#include <climits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "database_methods.h"
#include "engine_call.h"
#include "errors.h"
#include "json_write.h"
#include "keys.h"
#include "py_ref.h"
#include "records.h"
#include "values.h"

namespace corvantine::python {

namespace {

enum class Reply { kFirstPosition, kReceipt };

// Room for a body of one append, a guess that spares most regrowth.
constexpr size_t kBodyGuessBytes = 256;
// No guess goes beyond this, lest one big body inflate all that follow it.
constexpr size_t kMaxBodyGuessBytes = 64 << 10;

// The event's body: the JSON text of `value` in a buffer `expected_bytes`
// long to start with, left with room for the engine's header, so that the
// body moves into its stored form without a copy. The writer's text is
// well-formed, so the engine need not read it again.
bool WriteBody(JsonWriter& writer, PyObject* value, size_t expected_bytes,
               facade::EventData* event) {
  std::string& body = event->body;
  body.reserve(expected_bytes + facade::kEngineEventHeaderBytes);
  if (!writer.Write(value, &body)) return false;
  body.reserve(body.size() + facade::kEngineEventHeaderBytes);
  event->well_formed_depth = writer.depth();
  return true;
}

// One JSON event of the default type, schema version 1, without metadata.
bool WriteOneEvent(PyObject* value, facade::EventData* event) {
  JsonWriter writer;
  return WriteBody(writer, value, kBodyGuessBytes, event);
}

facade::AppendBatch OneEventBatch(const facade::BranchId& branch, std::string_view stream,
                                  facade::EventData event) {
  facade::AppendBatch batch;
  batch.stream.assign(stream);
  batch.branch = branch;
  batch.events.push_back(std::move(event));
  return batch;
}

PyObject* AppendAndReply(const facade::Engine& engine, facade::AppendBatch batch, Reply reply) {
  return CallEngineQuick([&] { return engine.Append(std::move(batch)); },
                         [reply](const auto& receipt) {
                           if (reply == Reply::kReceipt) return ReceiptDict(receipt);
                           return PyLong_FromUnsignedLongLong(receipt.first_position);
                         });
}

constexpr const char* kAppendNames[] = {"namespace", "event"};
constexpr Parameters kAppend{"Corvantine.append", kAppendNames, 2, 2};
constexpr Parameters kAppendReceipt{"Corvantine.append_receipt", kAppendNames, 2, 2};

// One JSON event on the default branch.
PyObject* AppendOne(const Parameters& parameters, Reply reply, PyObject* self,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[2];
  std::string_view stream;
  facade::EventData event;
  if (!Bind(parameters, args, nargs, kwnames, values) ||
      !ArgText(values[0], "namespace", &stream) || !WriteOneEvent(values[1], &event)) {
    return nullptr;
  }
  return AppendAndReply(EngineOf(self), OneEventBatch({}, stream, std::move(event)), reply);
}

// A dict's own entry (overridden lookups are not consulted), held: later
// checks may run Python code that removes it from the dict. Null when absent.
bool Lookup(PyObject* dict, Key key, Ref* out) {
  *out = Ref::Borrow(PyDict_GetItemWithError(dict, KeyObject(key)));
  return *out || !PyErr_Occurred();
}

bool ParseExpectedRevision(PyObject* value, facade::ExpectedRevision* out) {
  if (value == nullptr || value == Py_None) {
    *out = facade::ExpectedRevision::Any();
    return true;
  }
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    const unsigned long long revision = PyLong_AsUnsignedLongLong(value);
    if (revision != ULLONG_MAX || !PyErr_Occurred()) {
      *out = facade::ExpectedRevision::Exact(facade::StreamRevision{revision});
      return true;
    }
    PyErr_Clear();
  } else if (std::string_view word; PyUnicode_Check(value) && ToStr(value, &word)) {
    if (word == "any") {
      *out = facade::ExpectedRevision::Any();
      return true;
    }
    if (word == "no_stream") {
      *out = facade::ExpectedRevision::NoStream();
      return true;
    }
  }
  PyErr_Clear();
  RaiseInvalidArgument(
      "expected_revision must be None, 'any', 'no_stream', or a non-negative integer");
  return false;
}

bool ParseDurability(std::string_view word, facade::RequestDurability* out) {
  if (word == "buffered") {
    *out = facade::RequestDurability::kBuffered;
  } else if (word == "flush") {
    *out = facade::RequestDurability::kFlush;
  } else if (word == "sync") {
    *out = facade::RequestDurability::kSync;
  } else {
    RaiseInvalidArgument("durability must be 'buffered', 'flush', or 'sync'");
    return false;
  }
  return true;
}

// Keys must be str, values bytes or str (stored as UTF-8); of two keys with
// one text the later wins. Nothing here runs Python code, so the dict can
// be walked in place.
bool ParseMetadata(PyObject* value, facade::Metadata* out) {
  if (!PyDict_Check(value)) {
    RaiseInvalidArgument("event metadata must be a dict");
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  while (PyDict_Next(value, &position, &key, &item)) {
    std::string_view name;
    std::string bytes;
    if (!ToStr(key, &name) || !BytesOrUtf8(item, &bytes)) return false;
    out->insert_or_assign(std::string(name), std::move(bytes));
  }
  return true;
}

// One event dict of append_batch, added to *events. Its checks run in a
// fixed order: body present, event_type, schema_version, event_id, metadata,
// body conversion. The body's buffer starts `expected_bytes` long.
bool ParseEvent(JsonWriter& writer, PyObject* item, size_t expected_bytes,
                std::vector<facade::EventData>* events) {
  if (!PyDict_Check(item)) {
    RaiseInvalidArgument("each batch event must be a dict with a 'body' field");
    return false;
  }
  Ref body;
  if (!Lookup(item, Key::kBody, &body)) return false;
  if (!body) {
    RaiseInvalidArgument("batch event is missing required 'body'");
    return false;
  }
  Ref value;
  std::string_view text;
  if (!Lookup(item, Key::kEventType, &value)) return false;
  if (value && !ToStr(value.get(), &text)) return false;
  facade::EventData* event =
      value ? &events->emplace_back(facade::EventData::OfType(std::string(text)))
            : &events->emplace_back();
  if (!Lookup(item, Key::kSchemaVersion, &value)) return false;
  if (value && !ToU32(value.get(), &event->schema_version)) return false;
  if (!Lookup(item, Key::kEventId, &value)) return false;
  if (value) {
    util::Bytes16 id;
    if (!ToStr(value.get(), &text) || !ParseHexId(text, &id)) return false;
    event->event_id = facade::EventId(id);
  }
  if (!Lookup(item, Key::kMetadata, &value)) return false;
  if (value && !ParseMetadata(value.get(), &event->metadata)) return false;
  return WriteBody(writer, body.get(), expected_bytes, event);
}

constexpr const char* kAppendBatchNames[] = {"namespace",         "events",          "branch",
                                             "expected_revision", "idempotency_key", "durability"};
constexpr Parameters kAppendBatch{"Corvantine.append_batch", kAppendBatchNames, 2, 2};

constexpr const char* kAppendBranchNames[] = {"branch", "namespace", "event"};
constexpr Parameters kAppendBranch{"Corvantine.append_branch", kAppendBranchNames, 3, 3};

}  // namespace

PyObject* Append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return AppendOne(kAppend, Reply::kFirstPosition, self, args, nargs, kwnames);
}

PyObject* AppendReceipt(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return AppendOne(kAppendReceipt, Reply::kReceipt, self, args, nargs, kwnames);
}

// The event is converted before the branch is looked up, so a conversion
// error wins over an unknown branch.
PyObject* AppendBranch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[3];
  std::string_view branch_name;
  std::string_view stream;
  facade::EventData event;
  if (!Bind(kAppendBranch, args, nargs, kwnames, values) ||
      !ArgStr(values[0], "branch", &branch_name) || !ArgText(values[1], "namespace", &stream) ||
      !WriteOneEvent(values[2], &event)) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  auto branch = ResolveBranch(engine, branch_name);
  if (!branch.ok()) return RaiseEngineError(branch.error());
  return AppendAndReply(engine, OneEventBatch(*branch, stream, std::move(event)),
                        Reply::kFirstPosition);
}

// Argument types first, in parameter order; then the branch lookup, the
// expected revision, the idempotency key, the events in list order and the
// durability word. Every check is done before the append is sent.
PyObject* AppendBatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[6];
  std::string_view stream;
  std::optional<std::string_view> branch_name;
  std::string_view durability = "buffered";
  if (!Bind(kAppendBatch, args, nargs, kwnames, values) ||
      !ArgText(values[0], "namespace", &stream) || !ArgList(values[1], "events") ||
      !ArgOptionalStr(values[2], "branch", &branch_name) ||
      (values[5] != nullptr && !ArgStr(values[5], "durability", &durability))) {
    return nullptr;
  }
  const facade::Engine& engine = EngineOf(self);
  facade::AppendBatch batch;
  if (branch_name) {
    auto branch = ResolveBranch(engine, *branch_name);
    if (!branch.ok()) return RaiseEngineError(branch.error());
    batch.branch = *branch;
  }
  if (!ParseExpectedRevision(values[3], &batch.expected_revision)) return nullptr;
  if (values[4] != nullptr && values[4] != Py_None &&
      !BytesOrUtf8(values[4], &batch.idempotency_key.emplace())) {
    return nullptr;
  }
  PyObject* events = values[1];
  // The length is read at every step: an event's conversion may run Python
  // code that changes the list. Events of one batch tend to be alike, so each
  // body's buffer starts a quarter longer than the one before, and one writer
  // serves them all.
  batch.events.reserve(static_cast<size_t>(PyList_Size(events)));
  JsonWriter writer;
  size_t expected_bytes = kBodyGuessBytes;
  for (Py_ssize_t i = 0; i < PyList_Size(events); ++i) {
    Ref item = Ref::Borrow(PyList_GetItem(events, i));
    if (!ParseEvent(writer, item.get(), expected_bytes, &batch.events)) return nullptr;
    const size_t written = batch.events.back().body.size();
    expected_bytes = std::min(written + written / 4, kMaxBodyGuessBytes);
  }
  if (!ParseDurability(durability, &batch.durability)) return nullptr;
  batch.stream.assign(stream);
  return AppendAndReply(engine, std::move(batch), Reply::kReceipt);
}

}  // namespace corvantine::python
