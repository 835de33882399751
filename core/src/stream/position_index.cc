#include "stream/position_index.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace corvantine::stream {

namespace {

constexpr uint64_t kMaxRunCount = std::numeric_limits<uint32_t>::max();

// A lambda, not a function, so that the sort inlines it.
constexpr auto kStartsEarlier = [](const PositionRange& a, const PositionRange& b) {
  return a.first < b.first;
};

}  // namespace

PositionIndex::Run PositionIndex::Run::Of(uint64_t first, uint32_t count) {
  return Run{static_cast<uint32_t>(first), static_cast<uint32_t>(first >> 32), count};
}

void PositionIndex::Builder::Add(const format::StreamId& stream, uint64_t first, uint64_t last) {
  streams_[stream].push_back({first, last + 1});
}

PositionIndex PositionIndex::Builder::Finish() && {
  PositionIndex index;
  index.streams_.reserve(streams_.size());
  for (auto& [stream, ranges] : streams_) index.streams_.emplace(stream, RunsOf(std::move(ranges)));
  streams_.clear();
  return index;
}

void PositionIndex::Add(const format::StreamId& stream, uint64_t first, uint64_t last) {
  Runs& runs = streams_[stream];
  if (runs.empty() || first >= runs.back().first()) return Append(runs, first, last + 1);
  // Positions behind the stream's last run: only a catalog fed out of log
  // order asks for this.
  std::vector<PositionRange> ranges{{first, last + 1}};
  for (const Run& run : runs) ranges.push_back({run.first(), run.end()});
  runs = RunsOf(std::move(ranges));
}

void PositionIndex::Append(Runs& runs, uint64_t first, uint64_t end) {
  // A batch holds fewer than 2^32 events; a catalog decoded from damaged
  // bytes may claim more, and must not make the index allocate for them.
  end = first + std::min(std::max(end, first) - first, kMaxRunCount);
  if (!runs.empty() && first <= runs.back().end()) {
    Run& last = runs.back();
    const uint64_t grown =
        std::min(std::max(end, last.end()) - last.end(), kMaxRunCount - last.count);
    last.count += static_cast<uint32_t>(grown);
    first = std::max(first, last.end());
  }
  while (first < end) {
    const uint64_t count = std::min(end - first, kMaxRunCount);
    runs.push_back(Run::Of(first, static_cast<uint32_t>(count)));
    first += count;
  }
}

PositionIndex::Runs PositionIndex::RunsOf(std::vector<PositionRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), kStartsEarlier);
  Runs runs;
  for (const PositionRange& range : ranges) Append(runs, range.first, range.end);
  runs.shrink_to_fit();
  return runs;
}

void PositionIndex::DropBelow(uint64_t floor) {
  for (auto stream = streams_.begin(); stream != streams_.end();) {
    CutBelow(stream->second, floor);
    stream = stream->second.empty() ? streams_.erase(stream) : std::next(stream);
  }
}

void PositionIndex::CutBelow(Runs& runs, uint64_t floor) {
  auto kept =
      std::find_if(runs.begin(), runs.end(), [&](const Run& run) { return run.end() > floor; });
  runs.erase(runs.begin(), kept);
  if (runs.empty() || runs.front().first() >= floor) return;
  const uint64_t end = runs.front().end();
  runs.front() = Run::Of(floor, static_cast<uint32_t>(end - floor));
}

std::span<const PositionIndex::Run> PositionIndex::RunsAfter(const format::StreamId& stream,
                                                             uint64_t from) const {
  auto found = streams_.find(stream);
  if (found == streams_.end()) return {};
  const Runs& runs = found->second;
  // Runs ascend by their end as by their start.
  auto first = std::partition_point(runs.begin(), runs.end(),
                                    [&](const Run& run) { return run.end() <= from; });
  return std::span<const Run>(first, runs.end());
}

uint64_t PositionIndex::MemoryBytes() const {
  // A hash node holds the key, the vector and the next pointer.
  constexpr uint64_t kNodeBytes = sizeof(void*) + sizeof(format::StreamId) + sizeof(Runs);
  uint64_t bytes = streams_.bucket_count() * sizeof(void*) + streams_.size() * kNodeBytes;
  for (const auto& [stream, runs] : streams_) bytes += runs.capacity() * sizeof(Run);
  return bytes;
}

}  // namespace corvantine::stream
