// The branch catalog: every branch of a database by id and by name, and the
// lineage questions that reads and diffs ask. The log is its authoritative
// store: the catalog is rebuilt from the branch system records, and saved
// whole in retention anchors.
//
// Invariants: ids and names are unique; a name stays taken after its branch
// is archived; a lineage (a branch, its parent, the parent's parent, up to a
// branch without parent) has at most 64 members. Branches are never removed.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "branch/branch.h"
#include "error/error.h"
#include "format/ids.h"
#include "util/coding.h"

namespace corvantine::branch {

inline constexpr size_t kMaxLineageDepth = 64;

// A read on a branch covers, for each member of its lineage, the records of
// that branch below a position limit.
using ReplayScope = std::pair<format::BranchId, uint64_t>;

class BranchCatalog {
 public:
  // Sorted maps, so that iteration and encodings are reproducible.
  using InfoMap = std::map<format::BranchId, BranchInfo>;
  using NameMap = std::map<std::string, format::BranchId, std::less<>>;

  // A catalog holding the default branch alone.
  BranchCatalog();

  // Rebuilds the catalog from the system records of the whole log in
  // position order, starting from the default branch alone.
  // `records.Next()` yields nothing at the end, else a Result holding one
  // stored record (borrowed or owned form), as log::StoredLogIter does. An
  // error of the source or of ApplySystemRecord ends the rebuild with it.
  template <typename Source>
  static Result<BranchCatalog> Rebuild(Source& records);

  // Applies one record of the log: a branch creation is decoded and
  // inserted, an archival decoded and archived, any other event type
  // skipped. A payload that does not decode is Corrupt at `position`,
  // "branch metadata decode: {JSON reader's message}". On error the catalog
  // is unchanged.
  Result<> ApplySystemRecord(std::string_view event_type, uint64_t position,
                             std::string_view payload);

  // Adds a branch. Checks, in order:
  //   1. its id is taken -> BranchExists with its name; unless the stored
  //      branch equals `info` in every field but status: a creation applied
  //      again changes nothing;
  //   2. its name is taken -> BranchExists with the name;
  //   3. with a parent: the parent is unknown -> BranchNotFound (hex id);
  //      the parent chain reaches the new id -> InvalidBranchAncestry "cycle
  //      detected"; the chain holds 64 branches -> InvalidBranchAncestry
  //      "lineage exceeds maximum depth 64".
  // Fork position, creation time, metadata and status are not examined.
  Result<> Insert(BranchInfo info);

  // Replaces a branch's info by its archived form. Checks, in order: the id
  // is unknown -> BranchNotFound (hex id); it is the default branch ->
  // InvalidArgument "the default branch cannot be archived"; `info` differs
  // from the stored info in a field other than status, or is not archived ->
  // InvalidBranchAncestry "archive metadata may only change branch status".
  // Archiving an archived branch again with the same info changes nothing.
  Result<> Archive(BranchInfo info);

  // The branch of that id or name; nullptr when there is none.
  const BranchInfo* Find(const format::BranchId& id) const;
  const BranchInfo* Named(std::string_view name) const;

  // The lineage of `id`, root first and the branch itself last. A member
  // that is not in the catalog -> BranchNotFound (hex id); more than 64
  // members -> InvalidBranchAncestry "lineage depth exceeded".
  Result<std::vector<BranchInfo>> Ancestry(const format::BranchId& id) const;

  // The scopes of a read on `id` up to position `until`, root first: the
  // branch itself is limited by `until`, each ancestor by the smallest of
  // `until` and the fork positions of the branches below it on the path.
  // The errors of Ancestry.
  Result<std::vector<ReplayScope>> ReplayScopes(const format::BranchId& id, uint64_t until) const;

  // The last common member of the two lineages, and the position where the
  // two views part: the smaller of the two sides' limits, each side's limit
  // being its `until` lowered to the fork positions of its lineage members
  // below the common ancestor. The errors of Ancestry; lineages without a
  // common root -> InvalidBranchAncestry "branches share no common ancestor".
  Result<std::pair<BranchInfo, uint64_t>> Divergence(const format::BranchId& left,
                                                     uint64_t left_until,
                                                     const format::BranchId& right,
                                                     uint64_t right_until) const;

  // The id -> info map, then the name -> id map, each as a u64 count and its
  // entries in ascending key order: key, then value.
  void Encode(util::BinaryWriter& writer) const;
  // The maps exactly as stored, without the default branch unless they hold
  // it; a repeated key keeps the last value. Never allocates for more
  // entries than the remaining bytes can hold.
  static Result<BranchCatalog> Decode(util::BinaryReader& reader);

  const InfoMap& branches() const { return branches_; }
  const NameMap& names() const { return names_; }

  friend bool operator==(const BranchCatalog&, const BranchCatalog&) = default;

 private:
  struct Empty {};
  explicit BranchCatalog(Empty) {}

  // Step 3 of Insert.
  Result<> CheckLineage(const BranchInfo& info) const;

  InfoMap branches_;
  NameMap names_;
};

template <typename Source>
Result<BranchCatalog> BranchCatalog::Rebuild(Source& records) {
  BranchCatalog catalog;
  while (auto next = records.Next()) {
    CVN_ASSIGN_OR_RETURN(const auto record, std::move(*next));
    CVN_TRY(catalog.ApplySystemRecord(record.envelope.event_type.str(), record.position,
                                      record.payload));
  }
  return catalog;
}

}  // namespace corvantine::branch
