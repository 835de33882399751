#include "records.h"

#include <string>
#include <string_view>
#include <utility>

#include "errors.h"
#include "json_read.h"
#include "keys.h"
#include "py_ref.h"
#include "util/utf8.h"
#include "values.h"

namespace corvantine::python {

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

// The rows of one read mostly share their namespace, event type and
// metadata keys: each distinct text becomes one str that all rows share.
class TextCache {
 public:
  // A new reference; bytes that are not UTF-8 become U+FFFD.
  PyObject* Get(std::string_view text) {
    for (const auto& [cached, string] : entries_) {
      if (cached == text) return Py_NewRef(string.get());
    }
    PyObject* string = DecodeLossy(text);
    if (string != nullptr && entries_.size() < kCapacity) {
      entries_.emplace_back(std::string(text), Ref::Borrow(string));
    }
    return string;
  }

 private:
  static constexpr size_t kCapacity = 16;

  std::vector<std::pair<std::string, Ref>> entries_;
};

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

PyObject* Namespace(const format::Metadata& metadata, TextCache& texts) {
  const auto name = metadata.find(format::kStreamNameKey);
  if (name == metadata.end() || !util::IsValidUtf8(name->second)) return Py_NewRef(Py_None);
  return texts.Get(name->second);
}

PyObject* Body(const facade::RecordDto& record) {
  if (record.codec == facade::EventCodec::kBytes) return BytesObject(record.body);
  return ReadJson(record.body);
}

PyObject* RowDict(const facade::RecordDto& record, TextCache& texts) {
  Ref row = Ref::Steal(PyDict_New());
  PyObject* dict = row.get();
  const bool json = record.codec == facade::EventCodec::kJson;
  if (!dict || !Set(dict, kOffset, PyLong_FromUnsignedLongLong(record.position)) ||
      !Set(dict, kTimestampMs, PyLong_FromLongLong(record.timestamp / 1'000'000)) ||
      !Set(dict, kEventId, HexId(record.event_id.bytes())) ||
      !Set(dict, kBatchId, HexId(record.batch_id.bytes())) ||
      !Set(dict, kBatchIndex, PyLong_FromUnsignedLong(record.batch_index)) ||
      !Set(dict, kBranchId, HexId(record.branch_id.bytes())) ||
      !Set(dict, kNamespace, Namespace(record.metadata, texts)) ||
      !Set(dict, kStreamRevision, PyLong_FromUnsignedLongLong(record.stream_revision)) ||
      !Set(dict, kEventType, texts.Get(record.event_type)) ||
      !Set(dict, kSchemaVersion, PyLong_FromUnsignedLong(record.schema_version)) ||
      !Set(dict, kCodec, Interned(json ? kJson : kBytes)) ||
      !Set(dict, kMetadata, MetadataDict(record.metadata, texts)) ||
      !Set(dict, kBody, Body(record))) {
    return nullptr;
  }
  return row.Release();
}

}  // namespace

PyObject* RowList(const std::vector<facade::RecordDto>& records) {
  Ref list = Ref::Steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  TextCache texts;
  for (size_t i = 0; i < records.size(); ++i) {
    PyObject* row = RowDict(records[i], texts);
    if (row == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.Release();
}

PyObject* PageDict(const facade::ReplayPage& page) {
  Ref result = Ref::Steal(PyDict_New());
  PyObject* dict = result.get();
  if (!dict || !Set(dict, kRecords, RowList(page.records)) ||
      !Set(dict, kContinuation, PyLong_FromUnsignedLongLong(page.continuation)) ||
      !Set(dict, kDone, PyBool_FromLong(page.done))) {
    return nullptr;
  }
  return result.Release();
}

PyObject* ReceiptDict(const facade::AppendReceiptDto& receipt) {
  const std::string_view durability = stream::ReceiptDurabilityName(receipt.durability);
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
  const bool active = branch.status == branch::BranchStatus::kActive;
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
