// The system records a retention anchor carries: the history of the
// engine's own durable state (consumer checkpoints, projection
// registrations, retention bootstraps) below its floor. Each anchor is built
// from the records of the one before it followed by every system record the
// log still holds, which may repeat some of them; only the latest record for
// each key matters to those who replay them, so the older ones and the
// repeats are dropped.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "retention/anchor.h"

namespace corvantine::retention {

// What replay keys a record by: its family and the key within it (a
// consumer id for checkpoints and clears, a projection name for
// registrations and drops, a branch id or a consumer id for bootstraps).
// Nothing for a record whose key cannot be told: such a record is kept.
std::optional<std::string> SystemRecordKey(const AnchoredSystemRecord& record);

// `records` in order, less every keyed record that a later one of the same
// key replaces, and less every record without a key that repeats an
// earlier one byte for byte.
std::vector<AnchoredSystemRecord> LatestPerKey(std::vector<AnchoredSystemRecord> records);

}  // namespace corvantine::retention
