// Where each stream's events lie in the log: per stream id, the positions of
// its batches as ascending runs. A read of one stream asks it for the
// positions worth visiting and seeks to them, instead of scanning every
// event of the log.
//
// It is derived data, kept beside the stream catalog: every batch is one
// stream's and takes consecutive positions, so the receipts and the stored
// events the catalog records say all it holds. It is never saved.
//
// Invariant: a stream's runs ascend, neither overlap nor touch (touching
// runs are merged), and none is empty.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "format/ids.h"

namespace corvantine::stream {

// The positions [first, end) of some of a stream's events.
struct PositionRange {
  uint64_t first = 0;
  uint64_t end = 0;

  friend bool operator==(const PositionRange&, const PositionRange&) = default;
};

class PositionIndex {
 public:
  // Collects runs in any order, as a catalog's receipts come, and sorts
  // them once at the end.
  class Builder {
   public:
    void Add(const format::StreamId& stream, uint64_t first, uint64_t last);
    PositionIndex Finish() &&;

   private:
    std::unordered_map<format::StreamId, std::vector<PositionRange>> streams_;
  };

  // Adds the positions [first, last] to the stream's events: those of one
  // batch, so at most 2^32 - 1 of them are taken. Cheapest when they lie
  // beyond the stream's last run, as appended batches do.
  void Add(const format::StreamId& stream, uint64_t first, uint64_t last);

  // Forgets every position below `floor`, which a read never asks for again.
  void DropBelow(uint64_t floor);

  // Calls visit(first, end) for each range of the stream's positions within
  // [from, to), ascending.
  template <typename Visit>
  void ForEachRange(const format::StreamId& stream, uint64_t from, uint64_t to,
                    Visit&& visit) const;

  // Bytes held for the runs and the streams, as an estimate of its memory.
  uint64_t MemoryBytes() const;

 private:
  // 12 bytes, so that a stream of single-event batches costs 12 bytes an
  // event; runs longer than a u32 count are split.
  struct Run {
    uint32_t first_low = 0;
    uint32_t first_high = 0;
    uint32_t count = 0;

    uint64_t first() const { return uint64_t{first_high} << 32 | first_low; }
    uint64_t end() const { return first() + count; }
    static Run Of(uint64_t first, uint32_t count);
  };
  using Runs = std::vector<Run>;

  // Adds [first, end), which starts at or after the last run's start.
  static void Append(Runs& runs, uint64_t first, uint64_t end);
  // Runs of `ranges` in any order, overlapping or not.
  static Runs RunsOf(std::vector<PositionRange> ranges);
  static void CutBelow(Runs& runs, uint64_t floor);

  // The stream's runs from the first that ends after `from`.
  std::span<const Run> RunsAfter(const format::StreamId& stream, uint64_t from) const;

  std::unordered_map<format::StreamId, Runs> streams_;
};

template <typename Visit>
void PositionIndex::ForEachRange(const format::StreamId& stream, uint64_t from, uint64_t to,
                                 Visit&& visit) const {
  for (const Run& run : RunsAfter(stream, from)) {
    if (run.first() >= to) return;
    visit(std::max(run.first(), from), std::min(run.end(), to));
  }
}

}  // namespace corvantine::stream
