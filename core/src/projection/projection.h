// The derived state of every projection lives behind one interface,
// ProjectionRuntime. The engine thread owns one runtime per registered
// projection and calls it to apply stored events in log order, answer
// queries, forget its state, and write or read the checkpoints that
// snapshots are made of. Two implementations: the JSON index
// (projection/json_index.h) and MissingRuntime below.
//
// Every runtime meets these rules:
//  - a failing operation leaves the state as it was before the call;
//  - Query and the two checkpoint operations do not change the state;
//  - the bytes of Checkpoint() restore through RestoreCheckpoint() into a
//    fresh runtime of the same definition, and those of
//    CheckpointPartition(i, n) through RestorePartition(i, n, ...);
//  - a runtime may be built on one thread and then used from another, one
//    call at a time; it takes no locks;
//  - a write never replaces a newer one: partitions that share a runtime
//    are replayed independently, so records reach it out of log order. A
//    restore from a snapshot at cursor c counts as written at c - 1.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error/result.h"
#include "format/ids.h"
#include "projection/status.h"

namespace corvantine::projection {

template <typename T = void>
using ProjectionResult = error::Expected<T, ProjectionFailure>;

// What a runtime reads of one stored event; the engine has selected it
// (branch, stream, input types) before the call.
struct RecordView {
  format::StreamId stream_id;
  bool json = true;       // the body's codec is JSON; false for raw bytes
  std::string_view body;  // the stored body
  uint64_t position = 0;  // the record's log position
};

// The queries; keys compare as bytes.
struct GetQuery {
  std::string key;  // the document under `key`, if any
};
struct ByQuery {
  std::string index;  // a named index of the definition
  std::string value;  // the member's string content, or its compact JSON
};
struct RangeQuery {
  std::string start;  // included
  std::string end;    // excluded; no rows unless start < end
};
struct PrefixQuery {
  std::string prefix;  // "" selects every document
};
struct LenQuery {};  // no rows: only the total
using QueryOperation = std::variant<GetQuery, ByQuery, RangeQuery, PrefixQuery, LenQuery>;

struct QueryResult {
  std::vector<std::string> rows;  // stored bodies, in ascending key order
  uint64_t total = 0;             // documents held when the query ran

  friend bool operator==(const QueryResult&, const QueryResult&) = default;
};

class ProjectionRuntime {
 public:
  virtual ~ProjectionRuntime() = default;

  // Forgets every document; the definition stays.
  virtual ProjectionResult<> Reset() = 0;
  virtual ProjectionResult<> Apply(const RecordView& record) = 0;
  virtual ProjectionResult<QueryResult> Query(const QueryOperation& operation) const = 0;
  // The whole state as bytes.
  virtual ProjectionResult<std::string> Checkpoint() const = 0;
  // `cursor`: the snapshot's cursor position.
  virtual ProjectionResult<> RestoreCheckpoint(std::string_view state, uint64_t cursor) = 0;
  // The state of partition `partition` of `count` as bytes.
  virtual ProjectionResult<std::string> CheckpointPartition(uint32_t partition,
                                                            uint32_t count) const = 0;
  virtual ProjectionResult<> RestorePartition(uint32_t partition, uint32_t count,
                                              std::string_view state, uint64_t cursor) = 0;
};

// The placeholder for a durable registration whose own runtime cannot be
// rebuilt from the log: no state, and every operation but Reset fails:
// Apply and Query with "runtime_missing" "native runtime must be
// re-registered"; the checkpoint operations, and the partition ones for
// partition 0 of 1, with "checkpoint_unsupported" "runtime has no
// checkpoint codec"; the partition ones otherwise with
// "partition_unsupported" "runtime does not implement partition
// checkpoints".
class MissingRuntime final : public ProjectionRuntime {
 public:
  ProjectionResult<> Reset() override;
  ProjectionResult<> Apply(const RecordView& record) override;
  ProjectionResult<QueryResult> Query(const QueryOperation& operation) const override;
  ProjectionResult<std::string> Checkpoint() const override;
  ProjectionResult<> RestoreCheckpoint(std::string_view state, uint64_t cursor) override;
  ProjectionResult<std::string> CheckpointPartition(uint32_t partition,
                                                    uint32_t count) const override;
  ProjectionResult<> RestorePartition(uint32_t partition, uint32_t count, std::string_view state,
                                      uint64_t cursor) override;
};

}  // namespace corvantine::projection
