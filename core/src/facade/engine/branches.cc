#include "facade/engine/branches.h"

#include <utility>

#include "facade/engine/readers.h"

namespace corvantine::facade {

EngineResult<BranchDto> Branches::Handle(command::Fork& command) {
  Result<branch::BranchName> name = branch::BranchName::New(std::move(command.name));
  if (!name.ok()) return EngineError::FromCore(name.error());
  Result<branch::BranchInfo> branch = db_.ForkBranch(command.parent, command.position,
                                                     name->str(), std::move(command.metadata));
  return FromCore(std::move(branch));
}

EngineResult<BranchDto> Branches::Handle(command::BranchNamed& command) {
  const branch::BranchInfo* branch = db_.branch_catalog().Named(command.name);
  if (branch == nullptr) return EngineError::HandleNotFound("branch");
  return *branch;
}

EngineResult<std::vector<BranchDto>> Branches::Handle(command::Ancestry& command) {
  return FromCore(db_.branch_catalog().Ancestry(command.branch));
}

EngineResult<BranchDto> Branches::Handle(command::Archive& command) {
  Result<branch::BranchInfo> branch = db_.ArchiveBranch(command.branch);
  return FromCore(std::move(branch));
}

EngineResult<DiffDto> Branches::Handle(command::Diff& command) {
  const DiffRequest& request = command.request;
  CVN_TRY(CheckPageLimits(request.page_events, request.page_bytes));
  Result<db::BranchDiff> compared = db_.Diff(db::DiffRequest{
      request.left_branch, request.left_until, request.right_branch, request.right_until});
  if (!compared.ok()) return EngineError::FromCore(compared.error());
  db::BranchDiff& diff = *compared;
  const auto reader = [&](const format::BranchId& branch, uint64_t start, uint64_t end) {
    return ReaderRequest{branch, request.stream, start, end, request.page_bytes,
                         request.page_events};
  };
  const uint64_t divergence = diff.divergence_offset;
  const auto side = [&](db::DiffSide& side) {
    ReaderRequest own = reader(side.branch.id, divergence, side.until);
    return DiffSideDto{std::move(side.branch), std::move(own), side.until};
  };
  const format::BranchId ancestor = diff.common_ancestor.id;
  return DiffDto{std::move(diff.common_ancestor),
                 reader(ancestor, db_.retention_floor(), divergence), side(diff.left),
                 side(diff.right), divergence};
}

}  // namespace corvantine::facade
