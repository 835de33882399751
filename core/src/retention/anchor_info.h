// The summary of a retention anchor, the record the engine hands out; kept
// apart from the anchor's codec so that callers need none of the catalogs.
#pragma once

#include <cstdint>
#include <string_view>

#include "format/ids.h"

namespace corvantine::retention {

// The codec, and its version, that a consumer bootstrap names when its
// registration names none.
inline constexpr std::string_view kDefaultBootstrapCodec = "opaque";
inline constexpr uint32_t kDefaultBootstrapCodecVersion = 1;

struct CoreRetentionAnchor;

// The summary of an anchor file; computed, never stored.
struct RetentionAnchorInfo {
  uint32_t format_version = 0;
  format::DatabaseId database_id;
  uint64_t floor = 0;
  uint64_t head = 0;
  uint64_t bytes = 0;                   // the whole file, header included
  uint32_t checksum = 0;                // the header's payload checksum: "the anchor checksum"
  uint64_t projection_checkpoints = 0;  // snapshot ids over all coverage entries
  uint64_t branch_bootstraps = 0;
  uint64_t consumer_bootstraps = 0;
  uint64_t bootstrap_bytes = 0;  // checkpoint bytes of all bootstraps
  uint64_t system_records = 0;

  // The summary of `anchor` stored in a file of `file_bytes` whose header
  // carries `checksum`.
  static RetentionAnchorInfo Of(const CoreRetentionAnchor& anchor, uint64_t file_bytes,
                                uint32_t checksum);

  friend bool operator==(const RetentionAnchorInfo&, const RetentionAnchorInfo&) = default;
};

}  // namespace corvantine::retention
