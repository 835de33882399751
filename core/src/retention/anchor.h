// The retention anchor document: what a database must keep once the log
// segments below its retention floor are gone. It captures, at one durable
// head, both catalogs, every standalone system record, the snapshots that
// restore each projection, and the checkpoints that let a branch or a feed
// consumer start above the floor (its bootstraps).
//
// The binary form is the codec of util/coding.h, each struct's fields in
// declared order; kMinEncodedBytes is the fewest bytes a struct encodes to.
// The two bootstrap types also have a JSON form: the payload of the system
// records by which applications register them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "branch/catalog.h"
#include "error/error.h"
#include "format/ids.h"
#include "retention/anchor_info.h"
#include "retention/feed_scope.h"
#include "stream/catalog.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::retention {

inline constexpr uint32_t kAnchorFormatVersion = 5;

// The event types of the system records that register bootstraps.
inline constexpr std::string_view kBranchBootstrapEventType =
    "corvantine.retention.branch_bootstrap";
inline constexpr std::string_view kConsumerBootstrapEventType =
    "corvantine.retention.consumer_bootstrap";

// Proof that a projection can be restored without the reclaimed log.
struct RetentionProjectionCoverage {
  std::string name;
  format::IdBytes descriptor_fingerprint{};
  format::BranchId branch_id;
  uint64_t cursor = 0;                    // the position the snapshots were taken at
  std::vector<std::string> snapshot_ids;  // one per partition

  static constexpr size_t kMinEncodedBytes =
      util::kMinEncodedBytes<decltype(name), decltype(descriptor_fingerprint),
                             decltype(branch_id), decltype(cursor), decltype(snapshot_ids)>;
  void Encode(util::BinaryWriter& writer) const;
  static Result<RetentionProjectionCoverage> Decode(util::BinaryReader& reader);

  friend bool operator==(const RetentionProjectionCoverage&,
                         const RetentionProjectionCoverage&) = default;
};

// An application's checkpoint that lets a branch live on above `floor`.
struct RetentionBranchBootstrap {
  format::BranchId branch_id;
  uint64_t floor = 0;     // the floor the checkpoint was registered for
  uint32_t checksum = 0;  // CRC-32C of checkpoint
  std::string checkpoint;

  static constexpr size_t kMinEncodedBytes =
      util::kMinEncodedBytes<decltype(branch_id), decltype(floor), decltype(checksum),
                             decltype(checkpoint)>;
  void Encode(util::BinaryWriter& writer) const;
  static Result<RetentionBranchBootstrap> Decode(util::BinaryReader& reader);

  // Compact JSON, keys in this order, ids and bytes as arrays of numbers:
  //   {"branch_id":[0,...],"floor":7,"checksum":9,"checkpoint":[1,2]}
  std::string ToJson() const;
  // The object form with its keys in any order (unknown keys skipped) or an
  // array of the values in declared order. A missing or repeated key, a
  // value that does not fit its field, an id array not of 16 elements, or
  // anything but whitespace after the value is Serialization with the JSON
  // reader's message.
  static Result<RetentionBranchBootstrap> FromJson(std::string_view json);

  friend bool operator==(const RetentionBranchBootstrap&,
                         const RetentionBranchBootstrap&) = default;
};

// An application's checkpoint that lets a feed consumer resume above `floor`.
struct RetentionConsumerBootstrap {
  std::string consumer_id;
  uint64_t floor = 0;
  uint32_t checksum = 0;  // CRC-32C of checkpoint
  std::string checkpoint;
  format::IdBytes checkpoint_id{};  // fresh at registration, never all zero
  RetentionFeedScope scope;
  std::string codec{kDefaultBootstrapCodec};  // names the checkpoint's encoding
  uint32_t codec_version = 0;

  static constexpr size_t kMinEncodedBytes =
      util::kMinEncodedBytes<decltype(consumer_id), decltype(floor), decltype(checksum),
                             decltype(checkpoint), decltype(checkpoint_id), decltype(scope),
                             decltype(codec), decltype(codec_version)>;
  void Encode(util::BinaryWriter& writer) const;
  static Result<RetentionConsumerBootstrap> Decode(util::BinaryReader& reader);

  // Compact JSON, keys in this order:
  //   {"consumer_id":"c","floor":7,"checksum":9,"checkpoint":[1],
  //    "checkpoint_id":[...],"scope":{"branches":[[...]],"streams":[],
  //    "event_types":["t"]},"codec":"opaque","codec_version":1}
  std::string ToJson() const;
  // As RetentionBranchBootstrap::FromJson; `codec` alone may be left out
  // (of the object, or at the end of the array) and then reads as "opaque".
  static Result<RetentionConsumerBootstrap> FromJson(std::string_view json);

  friend bool operator==(const RetentionConsumerBootstrap&,
                         const RetentionConsumerBootstrap&) = default;
};

// A standalone system record of the reclaimed log, without its position.
struct AnchoredSystemRecord {
  std::string event_type;
  std::string payload;

  static constexpr size_t kMinEncodedBytes =
      util::kMinEncodedBytes<decltype(event_type), decltype(payload)>;
  void Encode(util::BinaryWriter& writer) const;
  static Result<AnchoredSystemRecord> Decode(util::BinaryReader& reader);

  friend bool operator==(const AnchoredSystemRecord&, const AnchoredSystemRecord&) = default;
};

// The first of `bootstraps` whose `field` is `key` and whose checkpoint's
// CRC-32C is its checksum: one that fails the checksum is passed over, as if
// it were not there. Null when none is.
template <typename Bootstrap, typename Key>
const Bootstrap* FirstSoundBootstrap(const std::vector<Bootstrap>& bootstraps,
                                     Key Bootstrap::*field, const auto& key) {
  for (const Bootstrap& bootstrap : bootstraps) {
    if (bootstrap.*field == key && util::crc32c::Value(bootstrap.checkpoint) == bootstrap.checksum) {
      return &bootstrap;
    }
  }
  return nullptr;
}

struct CoreRetentionAnchor {
  uint32_t format_version = kAnchorFormatVersion;
  format::DatabaseId database_id;
  uint64_t floor = 0;  // the retention floor this anchor makes safe
  uint64_t head = 0;   // the durable head everything was captured at
  stream::StreamCatalog stream_catalog;
  branch::BranchCatalog branch_catalog;
  std::vector<RetentionProjectionCoverage> projection_coverage;
  std::vector<RetentionBranchBootstrap> branch_bootstraps;      // at most one per branch
  std::vector<RetentionConsumerBootstrap> consumer_bootstraps;  // at most one per consumer
  std::vector<AnchoredSystemRecord> system_records;             // in log order

  void Encode(util::BinaryWriter& writer) const;
  // Fails with the binary reader's Codec error, as the catalogs' decoders do.
  // Bytes after the document are left unread. Never allocates for more
  // elements than the remaining bytes can hold.
  static Result<CoreRetentionAnchor> Decode(util::BinaryReader& reader);
  // As Decode, checking every byte, but the stream catalog builds its
  // tables and position index from `bytes` only once first asked for
  // (StreamCatalog::DecodeDeferring): an anchor whose catalog goes unused,
  // as at most opens, costs little more than its receipts. `keeper` keeps
  // `bytes` alive as long as the catalog may read them.
  static Result<CoreRetentionAnchor> DecodeDeferring(std::string_view bytes,
                                                     std::shared_ptr<const void> keeper);

  friend bool operator==(const CoreRetentionAnchor&, const CoreRetentionAnchor&) = default;
};

}  // namespace corvantine::retention
