#include "records.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "errors.h"
#include "json_read.h"
#include "keys.h"
#include "py_ref.h"
#include "text_cache.h"
#include "util/utf8.h"
#include "values.h"

namespace corvantine::python {

// The object made for the previous row's value, when this row has the same:
// the rows of one batch share their batch id, branch and timestamp.
template <typename T>
class RepeatCache {
 public:
  // A new reference; `make` is called only for a value unlike the last.
  template <typename Make>
  PyObject* Get(const T& value, Make make) {
    if (!object_ || value != value_) {
      Ref made = Ref::Steal(make(value));
      if (!made) return nullptr;
      object_ = std::move(made);
      value_ = value;
    }
    return Py_NewRef(object_.get());
  }

 private:
  T value_{};
  Ref object_;
};

// What consecutive rows of one read tend to share.
struct RowCaches {
  // The row keys in their order, each to None: a row made as its copy takes
  // its keys in one table of the final size, where inserting them one by
  // one would grow the table twice.
  Ref row_template;
  TextCache texts;
  RepeatCache<util::Bytes16> batch_ids;
  RepeatCache<util::Bytes16> branch_ids;
  RepeatCache<int64_t> timestamps;
};

namespace {

using enum Key;

PyObject* Interned(Key key) { return Py_NewRef(KeyObject(key)); }

// Sets dict[key], taking over the new reference `value` (null: its creation
// failed and the error is set).
bool Set(PyObject* dict, Key key, PyObject* value) {
  Ref owned = Ref::Steal(value);
  return owned && PyDict_SetItem(dict, KeyObject(key), owned.get()) == 0;
}

PyObject* OptionalInt(const std::optional<uint64_t>& value) {
  return value ? PyLong_FromUnsignedLongLong(*value) : Py_NewRef(Py_None);
}

template <typename Map>
PyObject* MetadataDict(const Map& metadata, TextCache& texts) {
  Ref dict = Ref::Steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : metadata) {
    Ref name = Ref::Steal(texts.Get(key));
    Ref bytes = Ref::Steal(BytesObject(value));
    if (!name || !bytes || PyDict_SetItem(dict.get(), name.get(), bytes.get()) < 0) {
      return nullptr;
    }
  }
  return dict.Release();
}

PyObject* Namespace(const facade::RecordDto& record, TextCache& texts) {
  const std::optional<std::string_view> name = record.stream_name();
  if (!name || !util::IsValidUtf8(*name)) return Py_NewRef(Py_None);
  return texts.Get(*name);
}

PyObject* Body(const facade::RecordDto& record, TextCache& texts) {
  if (record.codec == facade::EventCodec::kBytes) return BytesObject(record.body);
  return ReadJson(record.body, &texts);
}

// The keys of a row, in the order RowDict sets them.
constexpr Key kRowKeys[] = {
    kOffset,         kTimestampMs, kEventId,       kBatchId, kBatchIndex, kBranchId, kNamespace,
    kStreamRevision, kEventType,   kSchemaVersion, kCodec,   kMetadata,   kBody};

PyObject* RowTemplate() {
  Ref dict = Ref::Steal(PyDict_New());
  for (Key key : kRowKeys) {
    if (!dict || PyDict_SetItem(dict.get(), KeyObject(key), Py_None) < 0) return nullptr;
  }
  return dict.Release();
}

// A new dict with the row keys in order, every value None.
PyObject* EmptyRow(RowCaches& caches) {
  if (!caches.row_template) caches.row_template = Ref::Steal(RowTemplate());
  return caches.row_template ? PyDict_Copy(caches.row_template.get()) : nullptr;
}

PyObject* RowDict(const facade::RecordDto& record, RowCaches& caches) {
  TextCache& texts = caches.texts;
  Ref row = Ref::Steal(EmptyRow(caches));
  PyObject* dict = row.get();
  const bool json = record.codec == facade::EventCodec::kJson;
  if (!dict || !Set(dict, kOffset, PyLong_FromUnsignedLongLong(record.position)) ||
      !Set(dict, kTimestampMs,
           caches.timestamps.Get(record.timestamp / 1'000'000, PyLong_FromLongLong)) ||
      !Set(dict, kEventId, HexId(record.event_id.bytes())) ||
      !Set(dict, kBatchId, caches.batch_ids.Get(record.batch_id.bytes(), HexId)) ||
      !Set(dict, kBatchIndex, PyLong_FromUnsignedLong(record.batch_index)) ||
      !Set(dict, kBranchId, caches.branch_ids.Get(record.branch_id.bytes(), HexId)) ||
      !Set(dict, kNamespace, Namespace(record, texts)) ||
      !Set(dict, kStreamRevision, PyLong_FromUnsignedLongLong(record.stream_revision)) ||
      !Set(dict, kEventType, texts.Get(record.event_type)) ||
      !Set(dict, kSchemaVersion, PyLong_FromUnsignedLong(record.schema_version)) ||
      !Set(dict, kCodec, Interned(json ? kJson : kBytes)) ||
      !Set(dict, kMetadata, MetadataDict(record.metadata, texts)) ||
      !Set(dict, kBody, Body(record, texts))) {
    return nullptr;
  }
  return row.Release();
}

// Keeps the cyclic collector from running while a list of rows is built.
// Before 3.12 the interpreter starts a collection from inside allocations, so
// a large read would otherwise traverse the rows it has already built again
// and again; from 3.12 on it waits for bytecode to run, which this matches.
// No Python code runs and the lock is held throughout, so no other thread
// sees the collector off; a collector the caller turned off stays off.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }

  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace

PyObject* DictOf(std::span<DictItem> items) {
  Ref dict = Ref::Steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : items) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.Release();
}

RowWriter::RowWriter() : caches_(std::make_unique<RowCaches>()) {}

RowWriter::~RowWriter() = default;

bool RowWriter::Append(const std::vector<facade::RecordDto>& records, PyObject* list) {
  CollectorPause pause;
  for (const facade::RecordDto& record : records) {
    Ref row = Ref::Steal(RowDict(record, *caches_));
    if (!row || PyList_Append(list, row.get()) < 0) return false;
  }
  return true;
}

PyObject* RowWriter::Row(const facade::RecordDto& record) { return RowDict(record, *caches_); }

PyObject* PageDict(const facade::ReplayPage& page) {
  Ref result = Ref::Steal(PyDict_New());
  PyObject* dict = result.get();
  Ref rows = Ref::Steal(PyList_New(0));
  if (!dict || !rows || !RowWriter().Append(page.records, rows.get()) ||
      !Set(dict, kRecords, rows.Release()) ||
      !Set(dict, kContinuation, PyLong_FromUnsignedLongLong(page.continuation)) ||
      !Set(dict, kDone, PyBool_FromLong(page.done))) {
    return nullptr;
  }
  return result.Release();
}

PyObject* ReceiptDict(const facade::AppendReceiptDto& receipt) {
  const std::string_view durability = facade::ReceiptDurabilityName(receipt.durability);
  Ref result = Ref::Steal(PyDict_New());
  PyObject* dict = result.get();
  if (!dict || !Set(dict, kBatchId, HexId(receipt.batch_id.bytes())) ||
      !Set(dict, kFirstPosition, PyLong_FromUnsignedLongLong(receipt.first_position)) ||
      !Set(dict, kLastPosition, PyLong_FromUnsignedLongLong(receipt.last_position)) ||
      !Set(dict, kStreamId, HexId(receipt.stream_id.bytes())) ||
      !Set(dict, kPreviousRevision, OptionalInt(receipt.previous_revision)) ||
      !Set(dict, kCurrentRevision, PyLong_FromUnsignedLongLong(receipt.current_revision.value)) ||
      !Set(dict, kDurability,
           PyUnicode_FromStringAndSize(durability.data(),
                                       static_cast<Py_ssize_t>(durability.size())))) {
    return nullptr;
  }
  return result.Release();
}

PyObject* BranchDict(const facade::BranchDto& branch) {
  TextCache texts;
  Ref result = Ref::Steal(PyDict_New());
  PyObject* dict = result.get();
  const bool active = branch.status == facade::BranchStatus::kActive;
  if (!dict || !Set(dict, kId, HexId(branch.id.bytes())) ||
      !Set(dict, kName, DecodeLossy(branch.name)) ||
      !Set(dict, kParentId, branch.parent ? HexId(branch.parent->bytes()) : Py_NewRef(Py_None)) ||
      !Set(dict, kForkPosition, OptionalInt(branch.fork_position)) ||
      !Set(dict, kCreatedAtUnixNanos, PyLong_FromLongLong(branch.created_at_unix_nanos)) ||
      !Set(dict, kStatus, Interned(active ? kActive : kArchived)) ||
      !Set(dict, kMetadata, MetadataDict(branch.metadata, texts))) {
    return nullptr;
  }
  return result.Release();
}

}  // namespace corvantine::python
