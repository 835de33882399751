#include "log/mapped.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

#include "format/format.h"
#include "log/record.h"
#include "util/coding.h"

namespace corvantine::log::mapped {

namespace {

constexpr uint64_t kMaxIndexedBytes = std::numeric_limits<uint32_t>::max();
constexpr size_t kKindOffset = 6;
constexpr size_t kPositionOffset = 16;
// Headers are walked in a copy of the file, read a piece at a time: reads
// that want a batch here and there touch little of each stretch, and a
// copy costs them less than mapping its pages in, and their cache misses.
constexpr uint64_t kWalkChunkBytes = 16 << 10;
// A walk of the whole segment goes in this many parts at once, through the
// mapping, whose pages the reads to come want mapped in.
constexpr size_t kWholeWalkParts = 4;
constexpr uint64_t kPrefetchBytes = 4096;
// The whole segment is walked once this share of its stretches is begun.
constexpr size_t kWholeWalkShare = 8;

}  // namespace

bool MappedSegment::TakeFrame(WalkState& walk, uint8_t kind, uint64_t position, bool* starts) {
  if (kind < format::kEventFrame || kind > format::kBatchCommitFrame) return false;
  *starts = !walk.in_batch && kind != format::kBatchCommitFrame;
  if (walk.in_batch) return TakeInBatch(walk, kind, position);
  if (position != walk.expected) return false;
  if (kind == format::kEventFrame) ++walk.expected;
  walk.in_batch = kind == format::kBatchOpenFrame;
  walk.batch_events = 0;
  return kind != format::kBatchCommitFrame;
}

bool MappedSegment::TakeInBatch(WalkState& walk, uint8_t kind, uint64_t position) {
  if (kind == format::kEventFrame) return position == walk.expected + walk.batch_events++;
  if (kind != format::kBatchCommitFrame || position != walk.expected || walk.batch_events == 0) {
    return false;
  }
  walk.expected += walk.batch_events;
  walk.in_batch = false;
  return true;
}

Result<std::shared_ptr<const MappedSegment>> MappedSegment::Map(const std::string& path,
                                                                 uint64_t base) {
  CVN_ASSIGN_OR_RETURN(platform::MappedFile mapped, platform::MapForRead(path));
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::OpenForRead(path));
  return std::make_shared<const MappedSegment>(std::move(mapped), std::move(file), base);
}

std::optional<index::SeekPoint> MappedSegment::StartBefore(uint64_t target,
                                                           const index::Sidecar& sidecar) const {
  const std::vector<index::SeekPoint>& points = sidecar.seek_points;
  if (bytes().size() > kMaxIndexedBytes || target < base_) return std::nullopt;
  // Of equal positions (system records before a batch), the last.
  auto after = std::upper_bound(
      points.begin(), points.end(), target,
      [](uint64_t position, const index::SeekPoint& point) { return position < point.position; });
  if (after == points.begin()) return std::nullopt;
  const size_t index = static_cast<size_t>(after - points.begin()) - 1;
  if (stretches_.size() != points.size()) stretches_.assign(points.size(), Stretch{});
  TakeWholeWalk();
  WalkStretch(points, index, target - base_);
  const Stretch& stretch = stretches_[index];
  auto start = std::upper_bound(
      stretch.starts.begin(), stretch.starts.end(), target - base_,
      [](uint64_t position, const Start& start) { return position < start.position; });
  if (start == stretch.starts.begin()) return points[index];
  --start;
  return index::SeekPoint{base_ + start->position, start->offset};
}

void MappedSegment::WalkStretch(const std::vector<index::SeekPoint>& points, size_t index,
                                uint64_t target) const {
  Stretch& stretch = stretches_[index];
  begun_ += stretch.begun ? 0 : 1;
  const bool beyond = !stretch.starts.empty() && stretch.starts.back().position > target;
  if (stretch.done || beyond) return;
  const uint64_t end = index + 1 < points.size() ? points[index + 1].offset : bytes().size();
  Walk(stretch, points[index], end, target, &walk_buffer_);
}

std::vector<MappedSegment::Stretch> MappedSegment::WalkWhole(
    const std::vector<index::SeekPoint>& points) const {
  std::vector<Stretch> stretches(points.size());
  // Each stretch's walk starts at its own seek point: parts of the segment
  // are walked at once.
  auto walk_part = [&](size_t part) {
    for (size_t index = part; index < points.size(); index += kWholeWalkParts) {
      const uint64_t end = index + 1 < points.size() ? points[index + 1].offset : bytes().size();
      Walk(stretches[index], points[index], end, UINT64_MAX, /*buffer=*/nullptr);
      stretches[index].starts.shrink_to_fit();
    }
  };
  std::vector<std::future<void>> parts;
  for (size_t part = 1; part < kWholeWalkParts; ++part) {
    parts.push_back(std::async(std::launch::async, walk_part, part));
  }
  walk_part(0);
  return stretches;
}

void MappedSegment::TakeWholeWalk() const {
  if (!whole_walk_.valid() ||
      whole_walk_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    return;
  }
  stretches_ = whole_walk_.get();
}

void MappedSegment::AwaitWholeWalk() const {
  if (whole_walk_.valid()) stretches_ = whole_walk_.get();
}

void MappedSegment::WalkWholeIfDue(const index::Sidecar& sidecar) const {
  const std::vector<index::SeekPoint>& points = sidecar.seek_points;
  if (walked_whole_ || stretches_.size() != points.size() ||
      begun_ * kWholeWalkShare < points.size()) {
    return;
  }
  walked_whole_ = true;
  whole_walk_ = std::async(std::launch::async, [this, points] { return WalkWhole(points); });
}

void MappedSegment::Walk(Stretch& stretch, const index::SeekPoint& from, uint64_t end,
                         uint64_t target, std::string* buffer) const {
  WalkState& walk = stretch.state;
  if (!stretch.begun) {
    stretch.done = from.position < base_;
    walk = WalkState{from.offset, from.position, 0, false};
    stretch.begun = true;
  }
  end = std::min<uint64_t>(end, bytes().size());
  while (!stretch.done && walk.offset < end) {
    const uint64_t chunk_start = walk.offset;
    const std::optional<std::string_view> chunk = ReadChunk(chunk_start, end, buffer);
    if (!chunk || chunk->size() < format::kFrameHeaderBytes) break;
    const WalkOn next = WalkChunk(stretch, *chunk, chunk_start, target);
    if (next == WalkOn::kFound) return;
    if (next == WalkOn::kNever) break;
  }
  stretch.done = true;
}

std::optional<std::string_view> MappedSegment::ReadChunk(uint64_t start, uint64_t end,
                                                        std::string* buffer) const {
  if (buffer == nullptr) return bytes().substr(start, end - start);
  buffer->resize(std::min<uint64_t>(end - start, kWalkChunkBytes));
  const Result<size_t> read = file_.ReadAt(start, buffer->size(), buffer->data());
  if (!read.ok()) return std::nullopt;
  return std::string_view(buffer->data(), *read);
}

MappedSegment::WalkOn MappedSegment::WalkChunk(Stretch& stretch, std::string_view chunk,
                                               uint64_t chunk_start, uint64_t target) const {
  WalkState& walk = stretch.state;
  while (walk.offset - chunk_start + format::kFrameHeaderBytes <= chunk.size()) {
    const std::string_view header = chunk.substr(walk.offset - chunk_start);
    // Each header's place is known only from the one before it: the bytes a
    // few frames ahead are asked for early.
    __builtin_prefetch(header.data() + std::min<size_t>(kPrefetchBytes, header.size() - 1));
    const Result<std::optional<uint64_t>> length =
        format::FrameTotalLen(header, record::kStandardLimits);
    if (!length.ok() || **length > bytes().size() - walk.offset) return WalkOn::kNever;
    const uint64_t position = util::DecodeFixed64(header.data() + kPositionOffset);
    bool starts_here = false;
    if (!TakeFrame(walk, static_cast<uint8_t>(header[kKindOffset]), position, &starts_here)) {
      return WalkOn::kNever;
    }
    if (starts_here) {
      stretch.starts.push_back(
          {static_cast<uint32_t>(position - base_), static_cast<uint32_t>(walk.offset)});
    }
    walk.offset += **length;
    if (starts_here && position - base_ > target) return WalkOn::kFound;
  }
  return WalkOn::kReadOn;
}

Result<std::shared_ptr<const MappedSegment>> MappedCache::Get(const std::string& path,
                                                              uint64_t base) {
  auto kept = entries_.find(base);
  if (kept != entries_.end()) {
    kept->second.last_use = ++uses_;
    return kept->second.segment;
  }
  CVN_ASSIGN_OR_RETURN(std::shared_ptr<const MappedSegment> segment,
                       MappedSegment::Map(path, base));
  if (entries_.size() == kCapacity) DropLeastRecentlyUsed();
  entries_.emplace(base, Entry{segment, ++uses_});
  return segment;
}

void MappedCache::DropBelow(uint64_t floor) {
  entries_.erase(entries_.begin(), entries_.lower_bound(floor));
}

void MappedCache::DropLeastRecentlyUsed() {
  auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
    return a.second.last_use < b.second.last_use;
  });
  entries_.erase(oldest);
}

}  // namespace corvantine::log::mapped
