#include "branch/catalog.h"

#include <algorithm>

namespace corvantine::branch {

namespace {

CorvantineError NotFound(const format::BranchId& id) {
  return CorvantineError::BranchNotFound(id.ToHex());
}

// Whether two infos describe the same branch, whatever their statuses.
bool SameBranch(BranchInfo a, const BranchInfo& b) {
  a.status = b.status;
  return a == b;
}

// `limit` lowered to the fork position of each branch, where that is smaller.
template <typename Iterator>
uint64_t LowerToForks(uint64_t limit, Iterator first, Iterator last) {
  for (; first != last; ++first) {
    if (first->fork_position) limit = std::min(limit, *first->fork_position);
  }
  return limit;
}

}  // namespace

BranchCatalog::BranchCatalog() {
  BranchInfo main = DefaultBranchInfo();
  names_.emplace(main.name, main.id);
  branches_.emplace(main.id, std::move(main));
}

Result<> BranchCatalog::ApplySystemRecord(std::string_view event_type, uint64_t position,
                                          std::string_view payload) {
  const bool created = event_type == kBranchCreatedEventType;
  if (!created && event_type != kBranchArchivedEventType) return {};
  Result<BranchInfo> info = BranchInfo::FromJson(payload);
  if (!info.ok()) {
    return CorvantineError::Corrupt(
        position, "branch metadata decode: " + info.error().Detail());
  }
  return created ? Insert(std::move(info).value()) : Archive(std::move(info).value());
}

Result<> BranchCatalog::Insert(BranchInfo info) {
  if (const BranchInfo* stored = Find(info.id)) {
    // The database replays the log's branch records over a catalog restored
    // from a retention anchor, which may already hold the branch, archived
    // since.
    if (SameBranch(info, *stored)) return {};
    return CorvantineError::BranchExists(info.name);
  }
  if (names_.contains(info.name)) return CorvantineError::BranchExists(info.name);
  CVN_TRY(CheckLineage(info));
  names_.emplace(info.name, info.id);
  branches_.emplace(info.id, std::move(info));
  return {};
}

Result<> BranchCatalog::CheckLineage(const BranchInfo& info) const {
  if (!info.parent) return {};
  if (!Find(*info.parent)) return NotFound(*info.parent);
  // Walks up from the parent. Together with the new branch a lineage holds
  // at most kMaxLineageDepth members, so the parent chain at most one less.
  format::BranchId current = *info.parent;
  for (size_t steps = 1;; ++steps) {
    if (current == info.id) return CorvantineError::InvalidBranchAncestry("cycle detected");
    if (steps == kMaxLineageDepth) {
      return CorvantineError::InvalidBranchAncestry("lineage exceeds maximum depth 64");
    }
    const BranchInfo* ancestor = Find(current);
    if (!ancestor || !ancestor->parent) return {};
    current = *ancestor->parent;
  }
}

Result<> BranchCatalog::Archive(BranchInfo info) {
  auto stored = branches_.find(info.id);
  if (stored == branches_.end()) return NotFound(info.id);
  if (info.id == format::BranchId()) {
    return CorvantineError::InvalidArgument("the default branch cannot be archived");
  }
  if (info.status != BranchStatus::kArchived || !SameBranch(info, stored->second)) {
    return CorvantineError::InvalidBranchAncestry("archive metadata may only change branch status");
  }
  stored->second = std::move(info);
  return {};
}

const BranchInfo* BranchCatalog::Find(const format::BranchId& id) const {
  auto it = branches_.find(id);
  return it == branches_.end() ? nullptr : &it->second;
}

const BranchInfo* BranchCatalog::Named(std::string_view name) const {
  auto it = names_.find(name);
  return it == names_.end() ? nullptr : Find(it->second);
}

Result<std::vector<BranchInfo>> BranchCatalog::Ancestry(const format::BranchId& id) const {
  std::vector<BranchInfo> lineage;
  format::BranchId current = id;
  for (;;) {
    const BranchInfo* info = Find(current);
    if (!info) return NotFound(current);
    if (lineage.size() == kMaxLineageDepth) {
      return CorvantineError::InvalidBranchAncestry("lineage depth exceeded");
    }
    lineage.push_back(*info);
    if (!info->parent) break;
    current = *info->parent;
  }
  std::reverse(lineage.begin(), lineage.end());
  return lineage;
}

Result<std::vector<ReplayScope>> BranchCatalog::ReplayScopes(const format::BranchId& id,
                                                             uint64_t until) const {
  CVN_ASSIGN_OR_RETURN(std::vector<BranchInfo> lineage, Ancestry(id));
  // From the branch toward the root: each branch's fork position bounds what
  // is read of its parent and of every ancestor above.
  std::vector<ReplayScope> scopes(lineage.size());
  uint64_t limit = until;
  for (size_t i = lineage.size(); i-- > 0;) {
    scopes[i] = ReplayScope(lineage[i].id, limit);
    limit = LowerToForks(limit, lineage.begin() + i, lineage.begin() + i + 1);
  }
  return scopes;
}

Result<std::pair<BranchInfo, uint64_t>> BranchCatalog::Divergence(
    const format::BranchId& left, uint64_t left_until, const format::BranchId& right,
    uint64_t right_until) const {
  CVN_ASSIGN_OR_RETURN(std::vector<BranchInfo> left_lineage, Ancestry(left));
  CVN_ASSIGN_OR_RETURN(std::vector<BranchInfo> right_lineage, Ancestry(right));
  auto [left_own, right_own] = std::mismatch(
      left_lineage.begin(), left_lineage.end(), right_lineage.begin(), right_lineage.end(),
      [](const BranchInfo& a, const BranchInfo& b) { return a.id == b.id; });
  // A catalog can hold roots other than "main", whose lineages share nothing.
  if (left_own == left_lineage.begin()) {
    return CorvantineError::InvalidBranchAncestry("branches share no common ancestor");
  }
  uint64_t position = std::min(LowerToForks(left_until, left_own, left_lineage.end()),
                               LowerToForks(right_until, right_own, right_lineage.end()));
  return std::pair(std::move(*std::prev(left_own)), position);
}

}  // namespace corvantine::branch
