// How far a projection, or one partition of it, has applied the log, and how
// healthy it is. Each type has a diagnostic text, its DebugString(): the
// variant or type name, then its fields by name in declared order, e.g.
//   Stale { cursor: ProjectionCursor { database_id: [0, ...], branch_id:
//   [0, ...], position: 7, descriptor_fingerprint: [72, ...] }, reason:
//   BehindHead { head: 9 } }
// with strings quoted and escaped. Messages that embed a status or a cursor
// show exactly this text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "format/ids.h"
#include "format/projection_cursor.h"
#include "projection/descriptor.h"
#include "projection/fingerprint.h"

namespace corvantine::projection {

// The cursor of `descriptor`'s state in database `database_id` at `position`.
format::ProjectionCursor CursorAt(const format::DatabaseId& database_id,
                                  const ProjectionDescriptor& descriptor, uint64_t position);

// "DescriptorChanged", or "BehindHead { head: 9 }".
struct StaleReason {
  enum class Kind : uint8_t { kDescriptorChanged = 0, kBehindHead = 1 };
  Kind kind = Kind::kDescriptorChanged;
  uint64_t head = 0;  // kBehindHead only

  static StaleReason DescriptorChanged() { return {}; }
  static StaleReason BehindHead(uint64_t head) { return {Kind::kBehindHead, head}; }

  std::string DebugString() const;
  friend bool operator==(const StaleReason&, const StaleReason&) = default;
};

// The one error of a runtime operation. The engine shows it as
// "{code}: {message}".
struct ProjectionFailure {
  std::string code;  // a stable snake_case word
  std::string message;

  // ProjectionFailure { code: "read", message: "..." }
  std::string DebugString() const;
  friend bool operator==(const ProjectionFailure&, const ProjectionFailure&) = default;
};

// A projection's aggregate state. Only the fields of its kind are meaningful.
struct ProjectionStatus {
  enum class Kind : uint8_t { kBuilding = 0, kReady = 1, kStale = 2, kFailed = 3, kDropping = 4 };
  Kind kind = Kind::kBuilding;
  format::ProjectionCursor cursor;  // every kind but kDropping
  StaleReason reason;       // kStale
  ProjectionFailure error;  // kFailed

  static ProjectionStatus Building(format::ProjectionCursor cursor) {
    return Of(Kind::kBuilding, cursor);
  }
  static ProjectionStatus Ready(format::ProjectionCursor cursor) {
    return Of(Kind::kReady, cursor);
  }
  static ProjectionStatus Stale(format::ProjectionCursor cursor, StaleReason reason) {
    return Of(Kind::kStale, cursor, reason);
  }
  static ProjectionStatus Failed(format::ProjectionCursor cursor, ProjectionFailure error) {
    return Of(Kind::kFailed, cursor, {}, std::move(error));
  }
  static ProjectionStatus Dropping() { return Of(Kind::kDropping, {}); }

  std::string DebugString() const;
  friend bool operator==(const ProjectionStatus&, const ProjectionStatus&) = default;

 private:
  static ProjectionStatus Of(Kind kind, format::ProjectionCursor cursor, StaleReason reason = {},
                             ProjectionFailure error = {}) {
    return {kind, cursor, reason, std::move(error)};
  }
};

// One partition's state; its kinds are ordered differently from
// ProjectionStatus's. Only the fields of its kind are meaningful.
struct PartitionStatus {
  enum class Kind : uint8_t { kCold = 0, kBuilding = 1, kReady = 2, kStale = 3, kFailed = 4 };
  Kind kind = Kind::kCold;  // never loaded since registration or open
  format::ProjectionCursor cursor;
  StaleReason reason;       // kStale
  ProjectionFailure error;  // kFailed

  static PartitionStatus Cold(format::ProjectionCursor cursor) { return Of(Kind::kCold, cursor); }
  static PartitionStatus Building(format::ProjectionCursor cursor) {
    return Of(Kind::kBuilding, cursor);
  }
  static PartitionStatus Ready(format::ProjectionCursor cursor) { return Of(Kind::kReady, cursor); }
  static PartitionStatus Stale(format::ProjectionCursor cursor, StaleReason reason) {
    return Of(Kind::kStale, cursor, reason);
  }
  static PartitionStatus Failed(format::ProjectionCursor cursor, ProjectionFailure error) {
    return Of(Kind::kFailed, cursor, {}, std::move(error));
  }

  std::string DebugString() const;
  friend bool operator==(const PartitionStatus&, const PartitionStatus&) = default;

 private:
  static PartitionStatus Of(Kind kind, format::ProjectionCursor cursor, StaleReason reason = {},
                            ProjectionFailure error = {}) {
    return {kind, cursor, reason, std::move(error)};
  }
};

// The partitions of a projection that nothing has loaded yet: one Cold
// status at position 0 for each of max(partition count, 1) partitions.
std::vector<PartitionStatus> ColdPartitions(const format::DatabaseId& database_id,
                                            const ProjectionDescriptor& descriptor);

}  // namespace corvantine::projection
