// What callers of the engine exchange about registered queries (views): the
// projection types under the engine's names, the handle of a query and the
// consistency a query asks for.
#pragma once

#include <cstdint>

#include "projection/descriptor.h"
#include "projection/projection.h"
#include "projection/status.h"
#include "snapshot/snapshot.h"

namespace corvantine::facade {

using projection::PartitionStatus;
using projection::ProjectionDescriptor;
using projection::ProjectionRuntime;
using projection::ProjectionStatus;
using projection::QueryDefinition;
using projection::QueryFilter;
using projection::QueryOperation;
using projection::QueryResult;
using snapshot::SnapshotInfo;

// Numbers of the engine's one counter, shared with readers and feeds.
using QueryHandle = uint64_t;

// What a query waits for before it answers. Projections only ever apply
// durable events, so no answer shows an event that a crash can take back.
struct QueryConsistency {
  enum class Kind : uint8_t {
    kDurableHead = 0,  // every durable event applied
    kAvailable = 1,    // whatever the projection holds, even a failed one
    kAtLeast = 2,      // every durable event below `position` applied
  };
  Kind kind = Kind::kDurableHead;
  uint64_t position = 0;  // kAtLeast only

  static QueryConsistency DurableHead() { return {}; }
  static QueryConsistency Available() { return {Kind::kAvailable, 0}; }
  static QueryConsistency AtLeast(uint64_t position) { return {Kind::kAtLeast, position}; }
};

}  // namespace corvantine::facade
