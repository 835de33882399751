// The log's side of reading: which segments a read visits, and the
// reader's view of the live log.
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "log/log.h"
#include "platform/platform.h"

namespace corvantine::log {

using reader::PlannedSegment;
using reader::ResolvedFilter;

std::vector<PlannedSegment> PlanSegments(std::vector<PlannedSegment> segments,
                                         const ResolvedFilter& filter, uint64_t retention_floor) {
  if (filter.system_only) {
    std::erase_if(segments, [&](const PlannedSegment& segment) {
      return segment.path && segment.end <= retention_floor;
    });
    return segments;
  }
  const uint64_t head = segments.back().end;
  if (filter.from >= std::min(filter.to, head)) return {};
  auto base_after = [](uint64_t position, const PlannedSegment& segment) {
    return position < segment.base;
  };
  auto base_below = [](const PlannedSegment& segment, uint64_t position) {
    return segment.base < position;
  };
  // From the last segment that starts at or before `from` to the last one
  // that starts before `to`.
  auto first = std::upper_bound(segments.begin(), segments.end(), filter.from, base_after);
  if (first != segments.begin()) --first;
  auto last = std::lower_bound(segments.begin(), segments.end(), filter.to, base_below);
  if (last <= first) return {};
  return std::vector<PlannedSegment>(std::make_move_iterator(first), std::make_move_iterator(last));
}

namespace {

// The reader's view of a live log.
class LiveLogView : public reader::LogView {
 public:
  explicit LiveLogView(const Log& log) : log_(log) {}

  uint64_t head() const override { return log_.head(); }
  uint64_t active_base() const override { return log_.active_segment().base(); }
  uint64_t active_length() const override { return log_.active_segment().byte_length(); }

  uint64_t NextSegmentBase(uint64_t base) const override {
    auto next = FirstClosedAbove(base);
    return next == log_.closed_segments().end() ? active_base() : next->base;
  }

  std::string SegmentPath(uint64_t base) const override {
    if (base == active_base()) return log_.active_segment().path();
    const std::vector<SegmentMeta>& closed = log_.closed_segments();
    auto at = FirstClosedAbove(base);
    if (at != closed.begin() && std::prev(at)->base == base) return std::prev(at)->path;
    return platform::JoinPath(log_.log_directory(), segment::SegmentFileName(base));
  }

  std::shared_ptr<const index::Sidecar> CachedSidecar(uint64_t base) const override {
    auto it = log_.sidecar_cache().find(base);
    return it == log_.sidecar_cache().end() ? nullptr : it->second;
  }

  void CacheSidecar(uint64_t base, std::shared_ptr<const index::Sidecar> sidecar) const override {
    log_.sidecar_cache()[base] = std::move(sidecar);
  }

  Result<std::shared_ptr<const mapped::MappedSegment>> MapClosed(const std::string& path,
                                                                 uint64_t base) const override {
    return log_.mapped_segments().Get(path, base);
  }

  Result<std::shared_ptr<const mapped::MappedSegment>> MapActive() const override {
    return log_.MapActive();
  }

  std::optional<index::SeekPoint> ActiveSeekPointBefore(uint64_t target) const override {
    return log_.active_segment().SeekPointBefore(target);
  }

  bool ActiveHoldsSystemRecords() const override {
    return log_.active_segment().system_record_count() > 0;
  }

 private:
  std::vector<SegmentMeta>::const_iterator FirstClosedAbove(uint64_t base) const {
    const std::vector<SegmentMeta>& closed = log_.closed_segments();
    return std::upper_bound(closed.begin(), closed.end(), base,
                            [](uint64_t b, const SegmentMeta& meta) { return b < meta.base; });
  }

  const Log& log_;
};

}  // namespace

reader::LogReader Log::PlanReader(ResolvedFilter filter) const {
  std::vector<PlannedSegment> segments;
  segments.reserve(closed_.size() + 1);
  for (size_t i = 0; i < closed_.size(); ++i) {
    const uint64_t end = i + 1 < closed_.size() ? closed_[i + 1].base : active_.base();
    segments.push_back({closed_[i].path, closed_[i].base, end});
  }
  segments.push_back({std::nullopt, active_.base(), head()});
  std::vector<PlannedSegment> plan = PlanSegments(std::move(segments), filter, retention_floor());
  return reader::LogReader(std::make_unique<LiveLogView>(*this), std::move(plan),
                           std::move(filter));
}

Result<std::shared_ptr<const mapped::MappedSegment>> Log::MapActive() const {
  const bool covers = active_mapping_ && active_mapping_->base() == active_.base() &&
                      active_mapping_->bytes().size() >= active_.byte_length();
  if (!covers) {
    CVN_ASSIGN_OR_RETURN(active_mapping_, mapped::MappedSegment::Map(active_.path(), active_.base()));
  }
  return active_mapping_;
}

StoredLogIter Log::SystemRecords() const {
  return StoredLogIter(PlanReader(ResolvedFilter{.system_only = true}));
}

}  // namespace corvantine::log
