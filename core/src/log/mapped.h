// A closed segment as reads see it: its file mapped read-only, so that a
// read takes its frames in place, without a system call or a copy, and,
// once a read asks for it, where each of its batches starts, so that a read
// of a few scattered batches goes straight to each of them.
//
// The table of starts is found by one walk of the frame headers, which
// checks positions only; a read checks every frame it takes from there as a
// scan does. It costs 8 bytes a batch (or standalone frame) and is kept as
// long as the mapping, in memory only. A segment file of 4 GiB or more gets
// no table, and its reads enter it at its sidecar's seek points instead.
//
// A closed segment never changes, and the directory lock keeps the other
// processes of ours away from it; something else that cuts the file short
// while it is mapped makes the next read past the new end fail with SIGBUS.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "log/index.h"
#include "platform/platform.h"

namespace corvantine::log::mapped {

class MappedSegment {
 public:
  // Maps the closed segment file at `path`, whose first position is `base`.
  // Fails with Io.
  static Result<std::shared_ptr<const MappedSegment>> Map(const std::string& path,
                                                          uint64_t base);

  MappedSegment(platform::MappedFile file, uint64_t base)
      : file_(std::move(file)), base_(base) {}

  std::string_view bytes() const { return file_.bytes(); }

  // The last start of a batch or standalone frame at or before `target`, as
  // index::Sidecar::SeekPointBefore picks among seek points; nothing when
  // the segment has no table, or when the walk found no start before it.
  // The first call walks the segment. Not thread-safe: a segment is read
  // on the log's thread only.
  std::optional<index::SeekPoint> StartBefore(uint64_t target) const;

 private:
  // Both relative: the position to the base, the offset to the file's start.
  struct Start {
    uint32_t position;
    uint32_t offset;
  };

  // The starts of the sound prefix of the segment, up to the first frame
  // whose header is damaged or out of sequence.
  std::vector<Start> WalkStarts() const;

  platform::MappedFile file_;
  uint64_t base_ = 0;
  mutable std::optional<std::vector<Start>> starts_;  // walked on first use
};

// The mappings of the closed segments read last, by base: at most
// kCapacity of them, so that the address space and the tables of starts
// they hold stay bounded. Used on the log's thread only.
class MappedCache {
 public:
  static constexpr size_t kCapacity = 64;

  // The mapping of the segment at `base`, made now unless it is kept.
  Result<std::shared_ptr<const MappedSegment>> Get(const std::string& path, uint64_t base);
  // Forgets the segments below `floor`, whose files retention removes.
  void DropBelow(uint64_t floor);
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::shared_ptr<const MappedSegment> segment;
    uint64_t last_use = 0;
  };

  void DropLeastRecentlyUsed();

  std::map<uint64_t, Entry> entries_;
  uint64_t uses_ = 0;
};

}  // namespace corvantine::log::mapped
