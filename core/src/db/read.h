// What a read or a diff of the log asks for, as seen from one branch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "branch/branch.h"
#include "format/ids.h"
#include "log/reader.h"

namespace corvantine::db {

// The first position of a read.
class StartBound {
 public:
  StartBound() = default;  // unbounded: from the start of the log
  static StartBound Unbounded() { return StartBound(); }
  static StartBound Included(uint64_t position) { return StartBound(Kind::kIncluded, position); }
  static StartBound Excluded(uint64_t position) { return StartBound(Kind::kExcluded, position); }

  // The first position read: p for included p, p + 1 for excluded p
  // (saturating), 0 when unbounded.
  uint64_t First() const;

 private:
  enum class Kind : uint8_t { kUnbounded, kIncluded, kExcluded };
  StartBound(Kind kind, uint64_t position) : kind_(kind), position_(position) {}

  Kind kind_ = Kind::kUnbounded;
  uint64_t position_ = 0;
};

// The filter of a read of every branch's events at positions [from, to).
log::reader::ResolvedFilter AllEventsBetween(uint64_t from, uint64_t to);

// One read of the log as branch `branch_id` sees it: its own events and its
// ancestors' events below the fork positions on its lineage.
struct ReadRequest {
  format::BranchId branch_id;
  StartBound start;
  std::optional<uint64_t> until;  // exclusive; nothing: the log head
  log::reader::PartitionFilter partition = log::reader::PartitionFilter::All();
  // With a name, only the events of the streams of that name on the lineage
  // members, as the stream catalog's position index places them: the read
  // seeks to their batches instead of scanning the log.
  std::optional<std::string> stream_name;
  // The three below are handed to the reader unchanged.
  std::optional<std::pair<int64_t, int64_t>> time_range;
  std::optional<uint64_t> max_records;
  bool verify_batch_digest = false;
};

// Two branches to compare, each up to its own end (nothing: the log head).
struct DiffRequest {
  format::BranchId left_branch;
  std::optional<uint64_t> left_until;
  format::BranchId right_branch;
  std::optional<uint64_t> right_until;
  log::reader::PartitionFilter partition = log::reader::PartitionFilter::All();
};

struct DiffSide {
  branch::BranchInfo branch;
  ReadRequest read;  // the side's own history, from the divergence to `until`
  uint64_t until = 0;
};

// Two branches compared from their common ancestor.
struct BranchDiff {
  branch::BranchInfo common_ancestor;
  uint64_t divergence_offset = 0;
  ReadRequest shared;  // the common history, from the floor to the divergence
  DiffSide left;
  DiffSide right;
};

}  // namespace corvantine::db
