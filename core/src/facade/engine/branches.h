// Branches and diffs.
#pragma once

#include <vector>

#include "db/db.h"
#include "facade/engine/command.h"
#include "facade/engine/error.h"
#include "facade/engine/records.h"

namespace corvantine::facade {

class Branches {
 public:
  explicit Branches(db::Corvantine& db) : db_(db) {}

  Branches(const Branches&) = delete;
  Branches& operator=(const Branches&) = delete;

  EngineResult<BranchDto> Handle(command::Fork& command);
  EngineResult<BranchDto> Handle(command::BranchNamed& command);
  EngineResult<std::vector<BranchDto>> Handle(command::Ancestry& command);
  EngineResult<BranchDto> Handle(command::Archive& command);
  // The diff's sides as reader requests, after CheckPageLimits.
  EngineResult<DiffDto> Handle(command::Diff& command);

 private:
  db::Corvantine& db_;
};

}  // namespace corvantine::facade
