// The engine's error vocabulary: every stable snake-case code a caller can
// match on, each with the one kind number that selects its Python exception
// class. The engine builds its errors from these; a layer below it whose
// errors the engine hands on unchanged (snapshots) takes its codes from here
// too, so that no number is written twice.
#pragma once

#include <cstdint>

namespace corvantine::error {

// Fixed numbers: the Python module maps each to one exception class.
enum class ErrorKind : uint8_t {
  kInvalidArgument = 0,
  kConflict = 1,
  kNotFound = 2,
  kLocked = 3,
  kCorruption = 4,
  kUnsupportedFormat = 5,
  kCodec = 6,
  kIo = 7,
  kCancelled = 8,
  kResourceLimit = 9,
  kInternal = 10,
};

struct EngineCode {
  const char* text;
  ErrorKind kind;
};

namespace code {

inline constexpr EngineCode kInvalidArgument{"invalid_argument", ErrorKind::kInvalidArgument};
inline constexpr EngineCode kOffsetBeyondHead{"offset_beyond_head", ErrorKind::kInvalidArgument};
// The one code that selects its own Python exception class whatever the
// error's kind: a read below the retention floor, or a feed that cannot
// start where it was asked to.
inline constexpr EngineCode kPositionUnavailable{"position_unavailable",
                                                 ErrorKind::kInvalidArgument};

inline constexpr EngineCode kConflict{"conflict", ErrorKind::kConflict};
inline constexpr EngineCode kBranchArchived{"branch_archived", ErrorKind::kConflict};
inline constexpr EngineCode kMaintenanceHandlesOpen{"maintenance_handles_open",
                                                    ErrorKind::kConflict};
inline constexpr EngineCode kRetentionPlanUnknown{"retention_plan_unknown", ErrorKind::kConflict};
inline constexpr EngineCode kRetentionBlocked{"retention_blocked", ErrorKind::kConflict};
inline constexpr EngineCode kRetentionPlanStale{"retention_plan_stale", ErrorKind::kConflict};
inline constexpr EngineCode kProjectionBootstrapIncomplete{"projection_bootstrap_incomplete",
                                                           ErrorKind::kConflict};
inline constexpr EngineCode kProjectionNotReady{"projection_not_ready", ErrorKind::kConflict};
inline constexpr EngineCode kPartitionNotReady{"partition_not_ready", ErrorKind::kConflict};
inline constexpr EngineCode kFeedBootstrapMismatch{"feed_bootstrap_mismatch", ErrorKind::kConflict};

inline constexpr EngineCode kNotFound{"not_found", ErrorKind::kNotFound};
inline constexpr EngineCode kLocked{"locked", ErrorKind::kLocked};

inline constexpr EngineCode kCorruption{"corruption", ErrorKind::kCorruption};
inline constexpr EngineCode kSnapshotCorrupt{"snapshot_corrupt", ErrorKind::kCorruption};
inline constexpr EngineCode kUnsupportedFormat{"unsupported_format", ErrorKind::kUnsupportedFormat};

inline constexpr EngineCode kCodec{"codec", ErrorKind::kCodec};
inline constexpr EngineCode kInvalidJson{"invalid_json", ErrorKind::kCodec};
inline constexpr EngineCode kIo{"io", ErrorKind::kIo};

inline constexpr EngineCode kCancelled{"cancelled", ErrorKind::kCancelled};
inline constexpr EngineCode kEngineClosed{"engine_closed", ErrorKind::kCancelled};
inline constexpr EngineCode kResourceLimit{"resource_limit", ErrorKind::kResourceLimit};

inline constexpr EngineCode kInternal{"internal", ErrorKind::kInternal};
inline constexpr EngineCode kMigration{"migration", ErrorKind::kInternal};
inline constexpr EngineCode kProjection{"projection", ErrorKind::kInternal};
inline constexpr EngineCode kSnapshotInternal{"snapshot_internal", ErrorKind::kInternal};

}  // namespace code

}  // namespace corvantine::error
