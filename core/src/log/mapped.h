// A segment as reads of given positions see it: its file mapped read-only,
// so that a read takes its frames in place, without a system call or a copy, and, for a
// closed segment, once a read asks for them, where its batches start, so
// that a read of a few scattered batches goes straight to each of them. (The
// active segment's reads find its batches through the seek points its
// appends keep, and map it again as it grows.)
//
// Starts are found by walking the frame headers of a stretch between two of
// the sidecar's seek points (about 64 KiB) from its seek point, as far as
// the positions that reads have asked for, and no further: the first read
// of a stream whose batches lie all over a large log walks a little of each
// stretch it visits, not the whole log. A later read goes on from where the
// walk stopped. Reads that want positions all over a segment come again, so
// once walks have begun an eighth of its stretches, the whole segment is
// walked in the background after the read, and its table taken in once it
// is done. A read's own walk reads the headers through a small buffer, 16
// KiB at a time, rather than through the mapping, whose pages would each
// have to be mapped in for a few bytes of them; an error of those reads only
// ends the walk. The whole walk goes through the mapping, whose pages the
// reads to come want mapped in. A walk checks positions only, and a read
// checks every frame it takes from there as a scan does. Starts cost 8
// bytes a batch (or standalone frame) walked, kept as long as the mapping,
// in memory only. A segment file of 4 GiB or more gets no starts, and its
// reads enter it at the seek points.
//
// A segment's complete frames never change, and the directory lock keeps
// the other processes of ours away from it; something else that cuts the
// file short while it is mapped makes the next read past the new end end
// the process with SIGBUS.
#pragma once

#include <cstdint>
#include <future>
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

  MappedSegment(platform::MappedFile mapped, platform::File file, uint64_t base)
      : mapped_(std::move(mapped)), file_(std::move(file)), base_(base) {}

  std::string_view bytes() const { return mapped_.bytes(); }
  uint64_t base() const { return base_; }

  // The last start of a batch or standalone frame at or before `target`
  // within the stretch that `sidecar`'s seek points place it in, as
  // index::Sidecar::SeekPointBefore picks among seek points; nothing when
  // the segment gets no starts, or when the seek points place `target` in
  // none. `sidecar` must be the segment's. Not thread-safe: a segment is
  // read on one thread at a time, the log's or one its thread waits for.
  std::optional<index::SeekPoint> StartBefore(uint64_t target,
                                              const index::Sidecar& sidecar) const;
  // Once walks have begun an eighth of the stretches, walks the whole
  // segment on threads of their own; StartBefore takes the table in once it
  // is done. Called as a read ends, so that the read itself never shares
  // the machine with that walk.
  void WalkWholeIfDue(const index::Sidecar& sidecar) const;
  // Waits for a whole walk under way and takes its table in: a read that
  // wants many batches here finds them sooner so than by walking beside it.
  void AwaitWholeWalk() const;

 private:
  // Both relative: the position to the base, the offset to the file's start.
  struct Start {
    uint32_t position;
    uint32_t offset;
  };
  // Where the walk of a stretch stands: the next frame header, the next
  // event position the segment's appends gave out, and the events so far of
  // the batch the walk is in, if it is in one.
  struct WalkState {
    uint64_t offset = 0;
    uint64_t expected = 0;
    uint64_t batch_events = 0;
    bool in_batch = false;
  };
  struct Stretch {
    std::vector<Start> starts;  // ascending; the first is the seek point
    WalkState state;
    bool begun = false;
    // At the stretch's end, or at a frame whose header is damaged or out of
    // sequence.
    bool done = false;
  };

  // Walks the stretch from the seek point at `index` until it has found the
  // first start beyond the relative position `target`, unless it has.
  void WalkStretch(const std::vector<index::SeekPoint>& points, size_t index,
                   uint64_t target) const;
  // Every stretch walked to its end; any thread may run it.
  std::vector<Stretch> WalkWhole(const std::vector<index::SeekPoint>& points) const;
  // Takes in the whole walk once it is done.
  void TakeWholeWalk() const;
  // Goes on with the walk of `stretch`, the one from `from`, up to the byte
  // offset `end`, until a start beyond `target` is found. It reads the
  // headers into `buffer` 16 KiB at a time, or, without one, in place
  // through the mapping, which maps their pages in for the reads to come.
  void Walk(Stretch& stretch, const index::SeekPoint& from, uint64_t end, uint64_t target,
            std::string* buffer) const;
  // The file's bytes from `start` on, up to `end` at most; nothing when
  // they cannot be read.
  std::optional<std::string_view> ReadChunk(uint64_t start, uint64_t end,
                                            std::string* buffer) const;
  // What a walk does once it has taken the headers that lie whole in a
  // piece of the file: reads on, has found what it looked for, or can go no
  // further (a damaged header, or one out of sequence).
  enum class WalkOn { kReadOn, kFound, kNever };
  WalkOn WalkChunk(Stretch& stretch, std::string_view chunk, uint64_t chunk_start,
                   uint64_t target) const;
  // Takes the next frame header into a walk; false when it breaks the
  // sequence of the segment's appends. *starts is set when the frame starts
  // a batch or stands alone.
  static bool TakeFrame(WalkState& walk, uint8_t kind, uint64_t position, bool* starts);
  static bool TakeInBatch(WalkState& walk, uint8_t kind, uint64_t position);

  platform::MappedFile mapped_;
  platform::File file_;  // the same file, whose headers a walk reads
  uint64_t base_ = 0;
  mutable std::vector<Stretch> stretches_;  // one a seek point, on first use
  mutable std::string walk_buffer_;         // the headers being walked
  mutable size_t begun_ = 0;                // stretches whose walk has begun
  mutable bool walked_whole_ = false;
  // Last, so that it is destroyed first: its thread reads the members above.
  mutable std::future<std::vector<Stretch>> whole_walk_;
};

// The mappings of the closed segments read last, by base: at most
// kCapacity of them, so that the address space and the starts they hold
// stay bounded. Used on the log's thread only.
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
