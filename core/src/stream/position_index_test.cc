#include "stream/position_index.h"

#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace corvantine::stream {
namespace {

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;

format::StreamId StreamOf(uint8_t n) {
  format::IdBytes bytes{};
  bytes[0] = n;
  return format::StreamId(bytes);
}

Ranges RangesOf(const PositionIndex& index, uint8_t stream, uint64_t from = 0,
                uint64_t to = UINT64_MAX) {
  Ranges ranges;
  index.ForEachRange(StreamOf(stream), from, to,
                     [&](uint64_t first, uint64_t end) { ranges.push_back({first, end}); });
  return ranges;
}

TEST(PositionIndexTest, BatchesAddedInAnyOrderGiveTheSameMergedRuns) {
  // Batches of stream 1 as [first, last]; stream 2 interleaves.
  const Ranges batches{{10, 12}, {0, 3}, {4, 4}, {20, 29}, {13, 14}, {6, 7}};
  PositionIndex appended;
  PositionIndex::Builder built;
  for (const auto& [first, last] : batches) {
    appended.Add(StreamOf(1), first, last);
    built.Add(StreamOf(1), first, last);
  }
  appended.Add(StreamOf(2), 5, 5);
  const Ranges expected{{0, 5}, {6, 8}, {10, 15}, {20, 30}};
  EXPECT_EQ(RangesOf(appended, 1), expected);
  EXPECT_EQ(RangesOf(std::move(built).Finish(), 1), expected);
  EXPECT_EQ(RangesOf(appended, 2), (Ranges{{5, 6}}));
  EXPECT_EQ(RangesOf(appended, 3), Ranges{});
}

TEST(PositionIndexTest, ABatchClaimedByDamagedBytesCostsNoMoreThanTheLargestBatch) {
  PositionIndex::Builder built;
  built.Add(StreamOf(1), uint64_t{1} << 62, uint64_t{1} << 63);
  built.Add(StreamOf(1), 5, 1);  // ends before it starts
  built.Add(StreamOf(2), 7, UINT64_MAX);
  const PositionIndex index = std::move(built).Finish();
  const uint64_t largest = UINT32_MAX;
  EXPECT_EQ(RangesOf(index, 1), (Ranges{{uint64_t{1} << 62, (uint64_t{1} << 62) + largest}}));
  EXPECT_EQ(RangesOf(index, 2), Ranges{});
  EXPECT_LT(index.MemoryBytes(), 1024u);
}

TEST(PositionIndexTest, RangesAreClippedToTheReadAndTheFloor) {
  PositionIndex index;
  for (const auto& [first, last] : Ranges{{0, 4}, {10, 14}, {20, 24}}) {
    index.Add(StreamOf(1), first, last);
  }
  struct Case {
    uint64_t from, to;
    Ranges expected;
  };
  for (const Case& c : std::vector<Case>{
           {0, 100, {{0, 5}, {10, 15}, {20, 25}}},
           {3, 12, {{3, 5}, {10, 12}}},
           {5, 10, {}},
           {14, 15, {{14, 15}}},
           {30, 40, {}},
       }) {
    EXPECT_EQ(RangesOf(index, 1, c.from, c.to), c.expected) << c.from << ".." << c.to;
  }
  index.DropBelow(12);
  EXPECT_EQ(RangesOf(index, 1), (Ranges{{12, 15}, {20, 25}}));
  index.DropBelow(25);
  EXPECT_EQ(RangesOf(index, 1), Ranges{});
  EXPECT_LT(index.MemoryBytes(), 1024u);
}

}  // namespace
}  // namespace corvantine::stream
