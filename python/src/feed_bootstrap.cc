#include "feed_bootstrap.h"

#include <string>
#include <utility>
#include <vector>

#include "args.h"
#include "errors.h"
#include "py_ref.h"
#include "records.h"
#include "values.h"

namespace corvantine::python {

namespace {

template <typename Id>
PyObject* IdList(const std::vector<Id>& ids) {
  Ref list = Ref::Steal(PyList_New(0));
  if (!list) return nullptr;
  for (const Id& id : ids) {
    Ref text = Ref::Steal(HexId(id.bytes()));
    if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
  }
  return list.Release();
}

PyObject* TextList(const std::vector<std::string>& texts) {
  Ref list = Ref::Steal(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& text : texts) {
    Ref item = Ref::Steal(DecodeLossy(text));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.Release();
}

// The value of `key`, held, since converting it may run Python code that
// changes the dict; a missing key raises.
Ref Field(PyObject* dict, const char* key) {
  Ref name = Ref::Steal(PyUnicode_FromString(key));
  if (!name) return Ref();
  Ref value = Ref::Borrow(PyDict_GetItemWithError(dict, name.get()));
  if (!value && !PyErr_Occurred()) {
    PyErr_Format(PyExc_ValueError, "missing bootstrap field %s", key);
  }
  return value;
}

bool ReadId(PyObject* value, util::Bytes16* out) {
  std::string_view text;
  return ToStr(value, &text) && ParseHexId(text, out);
}

template <typename Id>
bool ReadIds(PyObject* value, std::vector<Id>* out) {
  std::vector<std::string> texts;
  if (!ToStrSequence(value, &texts)) return false;
  for (const std::string& text : texts) {
    util::Bytes16 bytes;
    if (!ParseHexId(text, &bytes)) return false;
    out->emplace_back(bytes);
  }
  return true;
}

bool ReadText(PyObject* value, std::string* out) {
  std::string_view text;
  if (!ToStr(value, &text)) return false;
  out->assign(text);
  return true;
}

template <typename Read, typename T>
bool ReadField(PyObject* dict, const char* key, Read read, T* out) {
  Ref value = Field(dict, key);
  return value && read(value.get(), out);
}

bool ReadDatabaseId(PyObject* value, format::DatabaseId* out) {
  util::Bytes16 bytes;
  if (!ReadId(value, &bytes)) return false;
  *out = format::DatabaseId(bytes);
  return true;
}

}  // namespace

PyObject* FeedBootstrapDict(const facade::FeedBootstrapDescriptor& descriptor) {
  DictItem items[] = {
      {"database_id", Ref::Steal(HexId(descriptor.database_id.bytes()))},
      {"generation", Ref::Steal(PyLong_FromUnsignedLongLong(descriptor.generation))},
      {"floor", Ref::Steal(PyLong_FromUnsignedLongLong(descriptor.floor))},
      {"consumer_id", Ref::Steal(DecodeLossy(descriptor.consumer_id))},
      {"checkpoint_id", Ref::Steal(HexId(descriptor.checkpoint_id))},
      {"branches", Ref::Steal(IdList(descriptor.scope.branches))},
      {"streams", Ref::Steal(IdList(descriptor.scope.streams))},
      {"event_types", Ref::Steal(TextList(descriptor.scope.event_types))},
      {"byte_length", Ref::Steal(PyLong_FromUnsignedLongLong(descriptor.byte_length))},
      {"checksum", Ref::Steal(PyLong_FromUnsignedLong(descriptor.checksum))},
      {"resume_from", Ref::Steal(PyLong_FromUnsignedLongLong(descriptor.resume_from))},
      {"codec", Ref::Steal(DecodeLossy(descriptor.codec))},
      {"codec_version", Ref::Steal(PyLong_FromUnsignedLong(descriptor.codec_version))},
  };
  return DictOf(items);
}

bool FeedBootstrapFromPy(PyObject* dict, facade::FeedBootstrapDescriptor* out) {
  facade::FeedBootstrapDescriptor& d = *out;
  return ReadField(dict, "database_id", ReadDatabaseId, &d.database_id) &&
         ReadField(dict, "generation", ToU64, &d.generation) &&
         ReadField(dict, "floor", ToU64, &d.floor) &&
         ReadField(dict, "consumer_id", ReadText, &d.consumer_id) &&
         ReadField(dict, "checkpoint_id", ReadId, &d.checkpoint_id) &&
         ReadField(dict, "branches", ReadIds<facade::BranchId>, &d.scope.branches) &&
         ReadField(dict, "streams", ReadIds<facade::StreamId>, &d.scope.streams) &&
         ReadField(dict, "event_types", ToStrSequence, &d.scope.event_types) &&
         ReadField(dict, "byte_length", ToU64, &d.byte_length) &&
         ReadField(dict, "checksum", ToU32, &d.checksum) &&
         ReadField(dict, "resume_from", ToU64, &d.resume_from) &&
         ReadField(dict, "codec", ReadText, &d.codec) &&
         ReadField(dict, "codec_version", ToU32, &d.codec_version);
}

}  // namespace corvantine::python
