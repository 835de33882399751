// The log's side of retention: arithmetic over segment boundaries, moving
// the floor in the manifest, and deleting the segment files below it.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "log/log.h"
#include "platform/platform.h"

namespace corvantine::log {

namespace {

// The retention crash hook: tests of an interrupted clean-up set
// CORVANTINE_RETENTION_CRASH_AT=during_cleanup to die after one deletion.
void CrashPointDuringCleanup() {
  const char* crash_at = std::getenv("CORVANTINE_RETENTION_CRASH_AT");
  if (crash_at != nullptr && std::string_view(crash_at) == "during_cleanup") std::abort();
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

}  // namespace

FloorForBytes ChooseFloorForBytes(std::span<const SegmentSize> closed, SegmentSize active,
                                  uint64_t target) {
  uint64_t retained = active.bytes;
  for (const SegmentSize& segment : closed) retained += segment.bytes;
  // Drop segments from the oldest on until the rest fits.
  for (const SegmentSize& segment : closed) {
    if (retained <= target) return {segment.base, retained, true};
    retained -= segment.bytes;
  }
  return {active.base, active.bytes, active.bytes <= target};
}

RetentionBoundary Log::RetentionBoundaryFor(uint64_t position) const {
  // Bases ascend, closed segments first, so the last one at or below the
  // position is the greatest.
  std::optional<uint64_t> segment_floor;
  for (const SegmentMeta& meta : closed_) {
    if (meta.base <= position) segment_floor = meta.base;
  }
  if (active_.base() <= position && ActiveHoldsEvents()) segment_floor = active_.base();

  RetentionBoundary boundary;
  boundary.effective_floor = std::max(segment_floor.value_or(0), retention_floor());
  for (const SegmentMeta& meta : closed_) {
    if (meta.base >= boundary.effective_floor) break;
    // A segment whose size cannot be read, most likely already deleted,
    // has nothing left to reclaim.
    Result<uint64_t> size = platform::FileSizeOf(meta.path);
    if (size.ok()) boundary.reclaimable.emplace_back(meta.base, *size);
  }
  return boundary;
}

Result<FloorForBytes> Log::RetentionFloorForBytes(uint64_t target) const {
  std::vector<SegmentSize> closed;
  for (const SegmentMeta& meta : closed_) {
    if (meta.base < retention_floor()) continue;
    CVN_ASSIGN_OR_RETURN(uint64_t bytes, platform::FileSizeOf(meta.path));
    closed.push_back({meta.base, bytes});
  }
  SegmentSize active{active_.base(), active_.byte_length()};
  if (!ActiveHoldsEvents() && !closed.empty()) {
    // No floor of its own (RetentionBoundaryFor): it goes with the one before.
    active = {closed.back().base, closed.back().bytes + active.bytes};
    closed.pop_back();
  }
  return ChooseFloorForBytes(closed, active, target);
}

Result<> Log::ActivateRetention(uint64_t floor, uint32_t anchor_checksum) {
  if (floor < retention_floor() || floor > head()) {
    return CorvantineError::InvalidArgument(
        fmt::format("invalid retention floor {} for current floor {} and head {}", floor,
                    retention_floor(), head()));
  }
  manifest::Manifest next = manifest_;
  next.retention_floor = floor;
  next.retention_anchor_checksum = anchor_checksum;
  next.retention_generation = SaturatingAdd(next.retention_generation, 1);
  next.next_offset = head();
  CVN_TRY(next.Write(directory_));
  manifest_ = std::move(next);
  return {};
}

uint64_t Log::ReclaimBelowRetentionFloor() {
  const uint64_t floor = retention_floor();
  // Unmapped first, so that their space is freed with their names.
  mapped_.DropBelow(floor);
  uint64_t deleted = 0;
  std::vector<SegmentMeta> kept;
  for (SegmentMeta& meta : closed_) {
    if (meta.base >= floor) {
      kept.push_back(std::move(meta));
      continue;
    }
    Result<uint64_t> size = platform::FileSizeOf(meta.path);
    Result<> removed = platform::RemoveFile(meta.path);
    if (removed.ok()) {
      deleted = SaturatingAdd(deleted, size.ok() ? *size : 0);
      CrashPointDuringCleanup();
    } else if (!removed.error().IsOsError(ENOENT)) {
      kept.push_back(std::move(meta));  // a later reclaim tries again
    }
  }
  closed_ = std::move(kept);
  sidecars_.erase(sidecars_.begin(), sidecars_.lower_bound(floor));
  return deleted;
}

}  // namespace corvantine::log
