// How the engine makes its own state durable: projection registrations and
// drops, consumer checkpoints and clears, and retention bootstraps are each
// one standalone system record, replayed at open.
#pragma once

#include <string_view>

#include "db/db.h"
#include "facade/engine/error.h"

namespace corvantine::facade {

// Writes one standalone system record of `event_type` with `payload` and
// commits (db::Corvantine::AppendSystemRecord): on success the record, and
// every event appended before it, is durable. Errors are the database's,
// converted; a caller changes its own state only after success, since a
// record whose flush failed may still be replayed at the next open.
EngineResult<> AppendProjectionSystem(db::Corvantine& db, std::string_view event_type,
                                      std::string_view payload);

}  // namespace corvantine::facade
