// The built-in projection: a keyed index of JSON documents made from a
// QueryDefinition. Each JSON event whose body is an object with a string
// under the key field becomes, or replaces, the document under that key;
// documents are never removed. The body is stored as the log holds it and
// read once, when it is applied: queries never parse.
//
// Apply, step by step:
//  1. a body that is not JSON (raw bytes codec): success, no change;
//  2. a body that does not parse: "invalid_json" with the parser's message;
//  3. with a filter: a filter value that is not JSON text fails every JSON
//     event with "invalid_filter" and the parser's message; a body that is
//     not an object, lacks the filter member, or whose member is not equal
//     to the filter value (number kinds kept apart: 1, 1.0 and -1 differ)
//     is skipped;
//  4. a body that is not an object or whose key member is not a string is
//     skipped (the empty string is a key);
//  5. the document under the key becomes the body, its owner the record's
//     stream.
// Skipping is success with no change. Of a member given twice the last one
// counts.
//
// Queries (every result's total is the number of documents held):
//  - Get: the document under the key, or no row;
//  - By: the documents whose member under the named index has, as text,
//    exactly the value: a string member its content, any other its compact
//    JSON (object keys in ascending order), so "true" matches both true and
//    "true"; an unknown index fails with "index_not_found" and the name;
//  - Range: keys k with start <= k < end; none unless start < end;
//  - Prefix: keys beginning with the prefix; "" gives every document;
//  - Len: no rows.
// Rows come in ascending byte order of the key.
//
// Partitions: a document belongs to the partition of its owner stream
// (StreamPartition). RestoreCheckpoint brings documents back without an
// owner: they belong to no partition until an event writes them again,
// except that partition 0 of 1 holds every document (an ownerless one is
// written with the all-zero stream id, which is in partition 0).
// Checkpoint bytes are the formats of projection/checkpoint.h; a state that
// does not read fails with "checkpoint_decode" and the reader's message,
// changing nothing. RestoreCheckpoint replaces every document;
// RestorePartition overwrites the documents it holds, whatever their
// partition, and removes none. Each document keeps the position of its last
// write (a restore's is its cursor - 1), and an older write of its key is
// ignored.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "projection/body_scanner.h"
#include "projection/descriptor.h"
#include "projection/document_store.h"
#include "projection/projection.h"

namespace corvantine::projection {

class JsonIndexRuntime final : public ProjectionRuntime {
 public:
  explicit JsonIndexRuntime(const QueryDefinition& definition);

  ProjectionResult<> Reset() override;
  ProjectionResult<> Apply(const RecordView& record) override;
  ProjectionResult<QueryResult> Query(const QueryOperation& operation) const override;
  ProjectionResult<std::string> Checkpoint() const override;
  ProjectionResult<> RestoreCheckpoint(std::string_view state, uint64_t cursor) override;
  // A count of 0 fails with "invalid_partition"; a partition not below the
  // count holds no document.
  ProjectionResult<std::string> CheckpointPartition(uint32_t partition,
                                                    uint32_t count) const override;
  ProjectionResult<> RestorePartition(uint32_t partition, uint32_t count, std::string_view state,
                                      uint64_t cursor) override;

 private:
  // The store with `body` put under `key`, its index texts scanned.
  void Restore(DocumentStore& store, std::string_view key, std::string_view body,
               std::optional<format::StreamId> owner, uint64_t position);
  std::vector<std::string> Select(const QueryOperation& operation) const;

  BodyScanner scanner_;
  DocumentStore store_;
  BodyScan scan_;  // reused by every scan
};

}  // namespace corvantine::projection
