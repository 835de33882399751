// The retention anchor file, "retention/core.anchor" in the data directory:
// the one durable document that stands in for the log history below the
// retention floor (retention/anchor.h). Little-endian layout:
//
//   offset  size  field
//   0       8     magic "CRVRETN1"
//   8       4     payload length n, 1 ..= 256 MiB; the file is n + 16 bytes
//   12      4     CRC-32C of the payload
//   16      n     the encoded CoreRetentionAnchor; bytes after it are ignored
//
// An anchor is made for one (database id, floor, head). The log manifest
// names the checksum of the anchor it relies on once a plan has been
// applied; until the manifest switches to a newer anchor, Publish keeps the
// named one beside it as "retention/core.anchor.prev".
//
// Every damaged or inconsistent anchor is InvalidFormat with a fixed message
// (Corrupt); file-system failures are Io. Everything here runs on the thread
// that owns the database.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/error.h"
#include "format/ids.h"
#include "retention/anchor.h"

namespace corvantine::retention {

inline constexpr uint64_t kAnchorMagic = 0x314E544552565243;  // "CRVRETN1" read as a u64
inline constexpr size_t kAnchorHeaderBytes = 16;
inline constexpr uint64_t kMaxAnchorPayloadBytes = 0x10000000;        // 256 MiB
inline constexpr uint64_t kMaxBootstrapCheckpointBytes = 0x4000000;  // 64 MiB
inline constexpr size_t kMaxBootstrapCodecBytes = 128;

struct LoadedAnchor {
  CoreRetentionAnchor anchor;
  RetentionAnchorInfo info;
};

// dir/retention/core.anchor, and the file that keeps the anchor the manifest
// still names while a newer one is published.
std::string AnchorPath(std::string_view dir);
std::string PreviousAnchorPath(std::string_view dir);

// InvalidFormat with `message`: the error of every anchor-content failure.
CorvantineError Corrupt(std::string message);

// Whether the anchor is the one for exactly this database, floor and head.
// Checks in order, each failure Corrupt:
//   "unsupported retention anchor format {version}"  (version != 5)
//   "retention anchor belongs to another database"
//   "retention anchor floor {anchor} does not match required floor {floor}"
//   "retention anchor head {anchor} does not match durable head {head}"
Result<> ValidateIdentity(const CoreRetentionAnchor& anchor, const format::DatabaseId& database_id,
                          uint64_t floor, uint64_t head);

// The check database open makes: as ValidateIdentity, except that the
// anchor's head may lie anywhere from its floor up to the log head found at
// open (events appended after the anchor was written are in the log). A head
// beyond the log head fails with the head message above (naming the log
// head), one below the floor with "retention anchor head {head} is below
// floor {floor}".
Result<> ValidateForOpen(const CoreRetentionAnchor& anchor, const format::DatabaseId& database_id,
                         uint64_t floor, uint64_t log_head);

// Branch bootstraps first, then consumer bootstraps, each in order. A branch
// bootstrap must be registered for `floor`, hold at most 64 MiB whose CRC-32C
// is its checksum, and name a branch no earlier one names; the first that
// does not fails with "invalid or duplicate branch bootstrap coverage". A
// consumer bootstrap must meet the same floor, size and checksum rules, name
// a consumer and a checkpoint id no earlier one names, have a checkpoint id
// that is not all zero and a codec of 1 to 128 bytes; else "invalid or
// duplicate consumer bootstrap coverage".
Result<> ValidateBootstraps(uint64_t floor,
                            std::span<const RetentionBranchBootstrap> branch_bootstraps,
                            std::span<const RetentionConsumerBootstrap> consumer_bootstraps);

// Reads the anchor file at `path` and checks it, the first failure ending it:
//   the file's size (Io; a missing file is the OS's ENOENT error);
//   size - 16 (wrapping) above 256 MiB -> "retention anchor length is invalid";
//   the magic -> "retention anchor magic is invalid";
//   the header length 0, above 256 MiB or not size - 16
//     -> "retention anchor payload length is invalid";
//   the payload CRC -> "retention anchor checksum mismatch";
//   the payload's decoding -> "retention anchor decode: {decoder's message}";
//   ValidateBootstraps at the anchor's floor.
// The format version is not checked: that is ValidateIdentity's job. The
// stream catalog is decoded as CoreRetentionAnchor::DecodeDeferring does:
// its tables and position index are built only when first asked for.
Result<LoadedAnchor> Decode(const std::string& path);

// Decode of AnchorPath(dir); nothing only when the file does not exist.
Result<std::optional<LoadedAnchor>> Load(std::string_view dir);

// The anchor database open relies on. When the manifest names a checksum,
// core.anchor if it decodes with that checksum, else core.anchor.prev if it
// does; failing both, and when the manifest names none, Load(dir). The
// caller still compares the result with the manifest.
Result<std::optional<LoadedAnchor>> LoadAuthoritative(
    std::string_view dir, std::optional<uint32_t> manifest_checksum);

// Writes `anchor` as dir/retention/core.anchor so that a crash at any moment
// leaves the anchor that the manifest names (`manifest_checksum`, if any)
// readable by LoadAuthoritative:
//   1. ValidateBootstraps with the anchor's floor;
//   2. if core.anchor loads, passes ValidateIdentity against the new anchor's
//      identity and holds equal coverage and bootstrap lists, its info is
//      returned and nothing is written (catalogs and system records are not
//      compared); a damaged or mismatching core.anchor is replaced, but one
//      that fails to read (Io) while the manifest names a checksum fails the
//      publish, since it may be the named anchor;
//   3. the file is built in memory; a payload above 256 MiB is
//      ResourceLimit "retention anchor bytes";
//   4. written to core.anchor.tmp, flushed and closed, read back with
//      Decode and ValidateIdentity; on failure the temporary file stays and
//      core.anchor is untouched;
//   5. the old core.anchor is renamed to core.anchor.prev when it carries
//      `manifest_checksum` and the new file does not; otherwise a
//      core.anchor.prev the manifest certainly does not name is removed;
//   6. core.anchor.tmp is renamed over core.anchor and the retention
//      directory flushed.
// Returns the info of the file written. Crash points, in order:
// kCrashBeforeAnchorPublish, kCrashAfterAnchorFsync, kCrashAfterAnchorPublish.
Result<RetentionAnchorInfo> Publish(std::string_view dir, const CoreRetentionAnchor& anchor,
                                    std::optional<uint32_t> manifest_checksum);

// Flushes a directory's entries to stable storage; any failure is Io.
Result<> SyncDir(const std::string& path);

}  // namespace corvantine::retention
