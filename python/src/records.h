// The dicts in which the engine's replies reach Python, each with a fixed
// key order.
#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "facade/engine/engine.h"
#include "py_ref.h"

namespace corvantine::python {

struct RowCaches;

// One key of a dict and its value, made before the dict (null: its creation
// failed and the error is set).
using DictItem = std::pair<const char*, Ref>;

// A new dict of `items`, inserted in order, or null with the first failure's
// error set.
PyObject* DictOf(std::span<DictItem> items);

// Makes the row dicts of one read, page after page, sharing the objects
// that consecutive rows repeat. One row dict per record, in order. A row's keys: offset, timestamp_ms
// (nanoseconds / 1e6, truncated toward zero), event_id, batch_id,
// batch_index, branch_id, namespace (the "corvantine.stream_name" metadata
// as str, None when absent or not UTF-8), stream_revision, event_type,
// schema_version, codec ("json" or "bytes"), metadata (str -> bytes, every
// stored entry) and body: a JSON body parsed into Python objects, a bytes
// body as bytes. A JSON body that does not parse raises ValueError.
class RowWriter {
 public:
  RowWriter();
  ~RowWriter();
  RowWriter(const RowWriter&) = delete;
  RowWriter& operator=(const RowWriter&) = delete;

  // Appends the rows of `records` to `list`; false with the error set.
  bool Append(const std::vector<facade::RecordDto>& records, PyObject* list);
  // The row of one record, or null with the error set.
  PyObject* Row(const facade::RecordDto& record);

 private:
  std::unique_ptr<RowCaches> caches_;
};

// {"records": rows, "continuation": int, "done": bool}.
PyObject* PageDict(const facade::ReplayPage& page);

// batch_id, first_position, last_position, stream_id, previous_revision
// (None for a new stream), current_revision, durability ("buffered",
// "flushed" or "synced").
PyObject* ReceiptDict(const facade::AppendReceiptDto& receipt);

// id, name, parent_id (None without a parent), fork_position (None without
// one), created_at_unix_nanos, status ("active" or "archived"), metadata
// (str -> bytes).
PyObject* BranchDict(const facade::BranchDto& branch);

}  // namespace corvantine::python
