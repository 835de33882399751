// Branches are named lines of history inside one log. Every database has the
// default branch "main"; any other branch is forked from a parent at a log
// position: it sees the parent's history below that position, then its own
// events. A branch is described by a BranchInfo, which the log stores as the
// JSON payload of the system records that create and archive branches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"
#include "format/ids.h"
#include "util/coding.h"

namespace corvantine::branch {

// The event types of the standalone system records that create a branch and
// archive one; the payload of both is the branch's BranchInfo as JSON.
inline constexpr std::string_view kBranchCreatedEventType = "corvantine.branch.created";
inline constexpr std::string_view kBranchArchivedEventType = "corvantine.branch.archived";

inline constexpr std::string_view kDefaultBranchName = "main";
inline constexpr size_t kMaxBranchNameBytes = 255;

// A validated branch name: 1 to 255 bytes of UTF-8 without NUL.
class BranchName {
 public:
  // Checks, in order: empty or containing NUL -> InvalidArgument "branch name
  // must be nonempty and contain no NUL"; invalid UTF-8 -> InvalidArgument
  // "branch name must be valid UTF-8"; more than 255 bytes -> ResourceLimit
  // "branch name bytes".
  static Result<BranchName> New(std::string text);

  const std::string& str() const { return text_; }

  friend bool operator==(const BranchName&, const BranchName&) = default;

 private:
  explicit BranchName(std::string text) : text_(std::move(text)) {}

  std::string text_;
};

// Stored as a variant index in this order; the JSON form spells the names.
enum class BranchStatus : uint32_t { kActive = 0, kArchived = 1 };
inline constexpr uint32_t kBranchStatusCount = 2;

// The caller's branch metadata: UTF-8 key -> bytes, ordered by key.
using BranchMetadata = std::map<std::string, std::string>;

struct BranchInfo {
  format::BranchId id;                     // all zero bytes for the default branch
  std::string name;
  std::optional<format::BranchId> parent;  // absent for a root such as "main"
  std::optional<uint64_t> fork_position;   // the parent's history below it is shared
  int64_t created_at_unix_nanos = 0;
  BranchMetadata metadata;
  BranchStatus status = BranchStatus::kActive;

  // Compact JSON with the keys in this order, ids and byte strings as arrays
  // of numbers:
  //   {"id":[0,...],"name":"b","parent":null|[...],"fork_position":null|7,
  //    "created_at_unix_nanos":0,"metadata":{"k":[118]},"status":"Active"}
  std::string ToJson() const;
  // Accepts the object form with its keys in any order, unknown keys
  // ignored, or the array form with the fields in declared order. Any other
  // status text, a value of the wrong type, a missing or repeated field is
  // InvalidFormat whose message is the JSON reader's.
  static Result<BranchInfo> FromJson(std::string_view json);

  // The fields in declared order: id (16 bytes), name (string), parent and
  // fork position (optional values), creation time (i64), metadata (map of
  // string -> bytes), status (variant index).
  static constexpr size_t kMinEncodedBytes =
      util::kMinEncodedBytes<decltype(id), decltype(name), decltype(parent),
                             decltype(fork_position), decltype(created_at_unix_nanos),
                             decltype(metadata), decltype(status)>;
  void Encode(util::BinaryWriter& writer) const;
  static Result<BranchInfo> Decode(util::BinaryReader& reader);

  friend bool operator==(const BranchInfo&, const BranchInfo&) = default;
};

// The default branch as every catalog holds it: id of zero bytes, "main", no
// parent or fork position, created at 0, no metadata, active. It is never
// written to the log.
BranchInfo DefaultBranchInfo();

}  // namespace corvantine::branch
