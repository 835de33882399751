// The crash hook of the retention steps. Each step between two durable
// writes names a crash point; when the environment variable
// CORVANTINE_RETENTION_CRASH_AT holds exactly that name, the process aborts
// there, so a test can cut a run off at that step and observe recovery.
// Present in every build; it costs one environment lookup per point.
#pragma once

#include <string_view>

namespace corvantine::retention {

inline constexpr char kCrashAtVariable[] = "CORVANTINE_RETENTION_CRASH_AT";

// Reached by Publish (retention/retention.h).
// The payload is encoded and the retention directory exists; no file is open.
inline constexpr std::string_view kCrashBeforeAnchorPublish = "before_anchor_publish";
// core.anchor.tmp is written, flushed and closed, not yet read back.
inline constexpr std::string_view kCrashAfterAnchorFsync = "after_anchor_fsync";
// core.anchor is in place and the retention directory flushed.
inline constexpr std::string_view kCrashAfterAnchorPublish = "after_anchor_publish";

// Reached while a retention plan is applied.
// Every check passed; the log manifest is not yet rewritten.
inline constexpr std::string_view kCrashBeforeManifestSwitch = "before_manifest_switch";
// The manifest names the new floor and anchor checksum; no segment removed.
inline constexpr std::string_view kCrashAfterManifestSwitch = "after_manifest_switch";
// After each segment file below the floor is removed.
inline constexpr std::string_view kCrashDuringCleanup = "during_cleanup";
// Every reclaimable segment is removed; the result is not yet returned.
inline constexpr std::string_view kCrashAfterCleanup = "after_cleanup";

// Aborts the process, without unwinding or flushing anything, when
// CORVANTINE_RETENTION_CRASH_AT is set to `point` byte for byte; a value that
// merely starts with it does not count. The variable is read afresh at every
// call.
void CrashPoint(std::string_view point);

}  // namespace corvantine::retention
