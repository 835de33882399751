#include "keys.h"

namespace corvantine::python {

namespace {

constexpr int kKeyCount = static_cast<int>(Key::kCount);

constexpr const char* kTexts[kKeyCount] = {
    "offset",
    "timestamp_ms",
    "event_id",
    "batch_id",
    "batch_index",
    "branch_id",
    "namespace",
    "stream_revision",
    "event_type",
    "schema_version",
    "codec",
    "metadata",
    "body",
    "records",
    "continuation",
    "done",
    "first_position",
    "last_position",
    "stream_id",
    "previous_revision",
    "current_revision",
    "durability",
    "id",
    "name",
    "parent_id",
    "fork_position",
    "created_at_unix_nanos",
    "status",
    "json",
    "bytes",
    "active",
    "archived",
};

PyObject* strings[kKeyCount];

}  // namespace

bool InitKeys() {
  for (int i = 0; i < kKeyCount; ++i) {
    if (strings[i] == nullptr) strings[i] = PyUnicode_InternFromString(kTexts[i]);
    if (strings[i] == nullptr) return false;
  }
  return true;
}

PyObject* KeyObject(Key key) { return strings[static_cast<int>(key)]; }

}  // namespace corvantine::python
