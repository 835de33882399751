#include "log/mapped.h"

#include <algorithm>
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
// A segment is walked whole once this share of its stretches is walked.
constexpr size_t kWholeWalkShare = 8;
constexpr uint64_t kPrefetchBytes = 4096;

// Walks frame headers, following the positions as the segment's appends
// give them out.
class HeaderWalk {
 public:
  explicit HeaderWalk(uint64_t base) : expected_(base) {}

  // Takes the frame of `kind` at `position`; false when it breaks the
  // sequence. *starts is set when the frame starts a batch or stands alone.
  bool Take(uint8_t kind, uint64_t position, bool* starts) {
    if (kind < format::kEventFrame || kind > format::kBatchCommitFrame) return false;
    *starts = !in_batch_ && kind != format::kBatchCommitFrame;
    if (in_batch_) return TakeInBatch(kind, position);
    if (position != expected_) return false;
    if (kind == format::kEventFrame) ++expected_;
    in_batch_ = kind == format::kBatchOpenFrame;
    events_ = 0;
    return kind != format::kBatchCommitFrame;
  }

 private:
  bool TakeInBatch(uint8_t kind, uint64_t position) {
    if (kind == format::kEventFrame) return position == expected_ + events_++;
    if (kind != format::kBatchCommitFrame || position != expected_ || events_ == 0) return false;
    expected_ += events_;
    in_batch_ = false;
    return true;
  }

  uint64_t expected_;
  uint64_t events_ = 0;
  bool in_batch_ = false;
};

}  // namespace

Result<std::shared_ptr<const MappedSegment>> MappedSegment::Map(const std::string& path,
                                                                 uint64_t base) {
  CVN_ASSIGN_OR_RETURN(platform::MappedFile file, platform::MapForRead(path));
  return std::make_shared<const MappedSegment>(std::move(file), base);
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
  if (stretches_.size() != points.size()) {
    stretches_.assign(points.size(), Stretch{});
    walked_ = 0;
  }
  WalkStretch(points, index);
  // Reads that want positions all over a segment come again: its whole
  // table then costs one pass, rather than a pass of each stretch for each
  // read of a new stream.
  if (walked_ < points.size() && walked_ * kWholeWalkShare >= points.size()) {
    for (size_t i = 0; i < points.size(); ++i) WalkStretch(points, i);
  }
  const Stretch& stretch = stretches_[index];
  auto start = std::upper_bound(
      stretch.starts.begin(), stretch.starts.end(), target - base_,
      [](uint64_t position, const Start& start) { return position < start.position; });
  if (start == stretch.starts.begin()) return points[index];
  --start;
  return index::SeekPoint{base_ + start->position, start->offset};
}

void MappedSegment::WalkStretch(const std::vector<index::SeekPoint>& points, size_t index) const {
  Stretch& stretch = stretches_[index];
  if (stretch.walked) return;
  const uint64_t end = index + 1 < points.size() ? points[index + 1].offset : bytes().size();
  stretch.starts = Walk(points[index], end);
  stretch.walked = true;
  ++walked_;
}

std::vector<MappedSegment::Start> MappedSegment::Walk(const index::SeekPoint& from,
                                                      uint64_t end) const {
  const std::string_view bytes = this->bytes();
  std::vector<Start> starts;
  if (from.position < base_) return starts;
  HeaderWalk walk(from.position);
  uint64_t offset = from.offset;
  end = std::min<uint64_t>(end, bytes.size());
  while (offset < end && bytes.size() - offset >= format::kFrameHeaderBytes) {
    // Each header's place is known only from the one before it: the
    // bytes a few frames ahead are asked for early.
    __builtin_prefetch(bytes.data() + std::min<uint64_t>(offset + kPrefetchBytes, end - 1));
    const std::string_view rest = bytes.substr(offset);
    const Result<std::optional<uint64_t>> length =
        format::FrameTotalLen(rest, record::kStandardLimits);
    if (!length.ok() || **length > rest.size()) break;
    const uint64_t position = util::DecodeFixed64(rest.data() + kPositionOffset);
    bool starts_here = false;
    if (!walk.Take(static_cast<uint8_t>(rest[kKindOffset]), position, &starts_here)) break;
    if (starts_here) {
      starts.push_back({static_cast<uint32_t>(position - base_), static_cast<uint32_t>(offset)});
    }
    offset += **length;
  }
  starts.shrink_to_fit();
  return starts;
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
