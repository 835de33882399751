// What a projection is: the derived state computed from the log (the
// built-in kind is the JSON index of projection/json_index.h). A descriptor
// says what the projection reads and how it is split into partitions; its
// fingerprint (projection/fingerprint.h) ties stored state to it. The JSON
// forms of these types are in projection/json.h.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/ids.h"

namespace corvantine::projection {

// The one partition scheme: a document or record belongs to partition
// (first 8 bytes of its stream id, little-endian) mod the partition count.
inline constexpr std::string_view kStreamIdModulo = "stream-id-modulo";
inline constexpr uint32_t kMaxPartitions = 4096;

// The partition of `stream` among `count` >= 1 partitions.
uint32_t StreamPartition(const format::StreamId& stream, uint32_t count);

// The state codec of a JSON index and its version.
inline constexpr uint32_t kJsonStateCodec = 1;
inline constexpr uint32_t kJsonStateCodecVersion = 1;

// An event matches when its type is byte-equal and its schema version lies
// in [min_schema_version, max_schema_version].
struct InputType {
  std::string event_type;
  uint32_t min_schema_version = 0;
  uint32_t max_schema_version = 0;

  friend bool operator==(const InputType&, const InputType&) = default;
};

// The branch whose history (its ancestors' included) a projection reads,
// and the one stream it reads, if any.
struct ProjectionScope {
  format::BranchId branch_id;
  std::optional<std::string> stream;

  friend bool operator==(const ProjectionScope&, const ProjectionScope&) = default;
};

// Default-made: "stream-id-modulo", version 1, one partition.
struct PartitionScheme {
  std::string scheme_id{kStreamIdModulo};
  uint32_t version = 1;
  uint32_t partition_count = 1;

  friend bool operator==(const PartitionScheme&, const PartitionScheme&) = default;
};

struct ProjectionDescriptor {
  std::string name;  // registered projections are keyed by it
  format::IdBytes definition_id{};
  uint32_t definition_version = 0;
  std::vector<InputType> input_types;  // empty: every event
  uint32_t state_codec = 0;
  uint32_t state_codec_version = 0;
  ProjectionScope scope;
  PartitionScheme partition_scheme;

  // Field by field; input types in list order.
  friend bool operator==(const ProjectionDescriptor&, const ProjectionDescriptor&) = default;
};

// The equality filter of a JSON index: a document is indexed only when its
// member `field` equals the JSON text `value` (kind-keeping equality).
struct QueryFilter {
  std::string field;
  std::string value;  // bytes of compact JSON text, not checked until applied

  friend bool operator==(const QueryFilter&, const QueryFilter&) = default;
};

// The definition of a JSON index.
struct QueryDefinition {
  std::string key_field;                       // the member whose string keys a document
  std::map<std::string, std::string> indexes;  // index name -> member name
  std::optional<QueryFilter> filter;

  friend bool operator==(const QueryDefinition&, const QueryDefinition&) = default;
};

// The descriptor of a JSON index registered as `name`: its definition id is
// QueryDefinitionId(name, definition), version 1, every event type, the
// JSON state codec 1/1, the default branch with no stream, and the
// stream-id-modulo scheme with `partition_count` partitions.
ProjectionDescriptor QueryDescriptor(std::string name, const QueryDefinition& definition,
                                     uint32_t partition_count);

}  // namespace corvantine::projection
