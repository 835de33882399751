#include "facade/view/projection_records.h"

namespace corvantine::facade {

EngineResult<> AppendProjectionSystem(db::Corvantine& db, std::string_view event_type,
                                      std::string_view payload) {
  return FromCore(db.AppendSystemRecord(event_type, payload));
}

}  // namespace corvantine::facade
