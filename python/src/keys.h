// The strings that hot paths insert as dict keys or look up in the caller's
// dicts, interned once per process and kept for good.
#pragma once

#include <Python.h>

namespace corvantine::python {

enum class Key {
  // Row dicts.
  kOffset,
  kTimestampMs,
  kEventId,
  kBatchId,
  kBatchIndex,
  kBranchId,
  kNamespace,
  kStreamRevision,
  kEventType,
  kSchemaVersion,
  kCodec,
  kMetadata,
  kBody,
  // Page dicts.
  kRecords,
  kContinuation,
  kDone,
  // Receipt dicts (with batch_id).
  kFirstPosition,
  kLastPosition,
  kStreamId,
  kPreviousRevision,
  kCurrentRevision,
  kDurability,
  // Branch dicts (with metadata).
  kId,
  kName,
  kParentId,
  kForkPosition,
  kCreatedAtUnixNanos,
  kStatus,
  // Values that rows and branches repeat.
  kJson,
  kBytes,
  kActive,
  kArchived,
  kCount,
};

// Makes the strings; the module's initialisation calls it first.
bool InitKeys();

// The interned str of `key`, borrowed.
PyObject* KeyObject(Key key);

}  // namespace corvantine::python
