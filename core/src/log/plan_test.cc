#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "log/log.h"

namespace corvantine::log {
namespace {

using reader::PlannedSegment;
using reader::ResolvedFilter;

constexpr uint64_t kMaxPosition = std::numeric_limits<uint64_t>::max();

TEST(PlanSegmentsTest, ChoosesTheSegmentsARangeTouches) {
  const std::vector<PlannedSegment> segments = {
      {"a", 0, 100}, {"b", 100, 250}, {std::nullopt, 250, 300}};
  auto range = [](uint64_t from, uint64_t to) { return ResolvedFilter{.from = from, .to = to}; };
  // From 500 on: `from` does not apply to system records.
  const ResolvedFilter system{.from = 500, .system_only = true};
  const struct {
    ResolvedFilter filter;
    uint64_t floor;
    std::vector<uint64_t> bases;
  } cases[] = {
      {range(0, kMaxPosition), 0, {0, 100, 250}},
      {range(0, 1), 0, {0}},
      {range(99, 101), 0, {0, 100}},
      {range(100, 250), 0, {100}},
      {range(120, 251), 0, {100, 250}},
      {range(299, kMaxPosition), 0, {250}},
      {range(300, kMaxPosition), 0, {}},  // from the head on
      {range(40, 40), 0, {}},
      {range(60, 20), 0, {}},
      {system, 0, {0, 100, 250}},
      {system, 100, {100, 250}},
      {system, 120, {100, 250}},
      {system, 250, {250}},
      {system, 300, {250}},  // the active segment always stays
  };
  for (const auto& c : cases) {
    std::vector<uint64_t> bases;
    for (const PlannedSegment& s : PlanSegments(segments, c.filter, c.floor)) {
      bases.push_back(s.base);
    }
    EXPECT_EQ(bases, c.bases) << c.filter.from << ".." << c.filter.to << " floor " << c.floor;
  }
  // After retention the first segment may start above `from`.
  const std::vector<PlannedSegment> retained = {{"b", 100, 250}, {std::nullopt, 250, 300}};
  EXPECT_EQ(PlanSegments(retained, range(10, 120), 0), (std::vector<PlannedSegment>{retained[0]}));
}

}  // namespace
}  // namespace corvantine::log
