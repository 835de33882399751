#include "log/reader.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "util/coding.h"

namespace corvantine::log {
namespace reader {

namespace {

uint64_t FirstWordLittleEndian(const format::StreamId& stream) {
  return util::DecodeFixed64(reinterpret_cast<const char*>(stream.bytes().data()));
}

// The reader's words for the rule a frame at `position` breaks.
CorvantineError Broken(sequence::Verdict verdict, uint64_t position) {
  switch (verdict.broken) {
    case sequence::Break::kEventOfAnotherBatch:
      return sequence::CorruptSequence(position, position);
    case sequence::Break::kCommitWithoutBegin:
      return CorvantineError::Corrupt(position, "batch commit without begin");
    case sequence::Break::kCommitOfAnotherBatch:
      return CorvantineError::Corrupt(position, "batch commit does not match its begin");
    case sequence::Break::kCommitOfNoEvents:
      return CorvantineError::Corrupt(position, "batch committed zero events");
    default:
      return sequence::CorruptSequence(position, verdict.due);
  }
}

}  // namespace

PartitionFilter PartitionFilter::Streams(std::vector<format::StreamId> streams) {
  PartitionFilter filter(Kind::kStreams);
  std::sort(streams.begin(), streams.end());
  streams.erase(std::unique(streams.begin(), streams.end()), streams.end());
  filter.streams_ = std::move(streams);
  return filter;
}

PartitionFilter PartitionFilter::Modulo(uint32_t count, uint32_t index) {
  PartitionFilter filter(Kind::kModulo);
  filter.count_ = count;
  filter.index_ = index;
  return filter;
}

bool PartitionFilter::Selects(const format::StreamId& stream) const {
  switch (kind_) {
    case Kind::kAll:
      return true;
    case Kind::kStreams:
      return std::binary_search(streams_.begin(), streams_.end(), stream);
    case Kind::kModulo:
      return count_ != 0 && FirstWordLittleEndian(stream) % count_ == index_;
  }
  return false;
}

bool PartitionFilter::MaySelectIn(const index::Sidecar& sidecar) const {
  switch (kind_) {
    case Kind::kAll:
      return true;
    case Kind::kStreams:
      return std::any_of(streams_.begin(), streams_.end(),
                         [&](const format::StreamId& id) { return sidecar.HasPosting(id); });
    case Kind::kModulo:
      return std::any_of(
          sidecar.postings.begin(), sidecar.postings.end(),
          [&](const index::PostingEntry& posting) { return Selects(posting.stream_id); });
  }
  return false;
}

LogReader::LogReader(std::unique_ptr<const LogView> log, std::vector<PlannedSegment> plan,
                     ResolvedFilter filter)
    : log_(std::move(log)),
      plan_(std::move(plan)),
      filter_(std::move(filter)),
      scanned_(filter_.from) {}

Result<const format::FrameView*> LogReader::NextView() {
  if (done_) return nullptr;
  if (!walked_ahead_) WalkAhead();
  if (filter_.max_records && yielded_ >= *filter_.max_records) {
    Finish(scanned_);
    return nullptr;
  }
  while (!done_) {
    if (!cursor_.is_open()) {
      if (next_segment_ == plan_.size()) {
        Finish(std::min(CoveredEnd(), filter_.to));
        return nullptr;
      }
      CVN_TRY(OpenNextSegment());
      continue;
    }
    if (!SeekToWantedPositions()) {
      cursor_.Close();
      continue;
    }
    CVN_ASSIGN_OR_RETURN(const bool read, ReadFrame());
    if (!read) {
      cursor_.Close();
      continue;
    }
    CVN_ASSIGN_OR_RETURN(const bool yield, Admit());
    if (yield) {
      ++yielded_;
      return &frame_;
    }
  }
  return nullptr;
}

Result<std::optional<format::StoredRecord>> LogReader::Next() {
  CVN_ASSIGN_OR_RETURN(const format::FrameView* frame, NextView());
  if (frame == nullptr) return std::nullopt;
  return format::MakeRecord(*frame);
}

Result<std::optional<format::OwnedStoredRecord>> LogReader::NextOwned() {
  CVN_ASSIGN_OR_RETURN(std::optional<format::StoredRecord> record, Next());
  if (!record) return std::nullopt;
  return format::ToOwned(std::move(*record));
}

void LogReader::Finish(uint64_t scanned) {
  done_ = true;
  scanned_ = std::max(scanned_, scanned);
  cursor_.Close();
  for (const auto& [segment, sidecar] : mapped_segments_) segment->WalkWholeIfDue(*sidecar);
  mapped_segments_.clear();
}

// The position up to which the plan covers the log: the head, unless the
// active segment it planned has been rolled away since; the segments after
// that one are not in the plan.
uint64_t LogReader::CoveredEnd() const {
  const PlannedSegment* last = plan_.empty() ? nullptr : &plan_.back();
  if (last && !last->path && log_->active_base() != last->base) {
    return log_->NextSegmentBase(last->base);
  }
  return log_->head();
}

Result<> LogReader::OpenNextSegment() {
  const PlannedSegment segment = Resolve(plan_[next_segment_]);
  const bool active = !segment.path;
  if (!HoldsWantedPositions(segment)) {
    ++next_segment_;
    return {};
  }
  std::shared_ptr<const index::Sidecar> sidecar = active ? nullptr : SidecarFor(segment);
  const bool skipped_active =
      active && filter_.system_only && !log_->ActiveHoldsSystemRecords();
  if (skipped_active || (sidecar && Skips(*sidecar))) {
    ++next_segment_;
    return {};
  }
  segment_ = segment;
  segment_active_ = active;
  sidecar_ = std::move(sidecar);
  mapped_.reset();
  if (!active && filter_.positions) {
    CVN_ASSIGN_OR_RETURN(mapped_, log_->MapClosed(*segment.path, segment.base));
    if (sidecar_) mapped_segments_.emplace_back(mapped_, sidecar_);
  }
  index::SeekPoint start{segment.base, 0};
  // System records ignore `from`, so a system-record read never seeks past any.
  if (!filter_.system_only && filter_.from > segment.base) {
    start = SeekPointBefore(filter_.from).value_or(start);
  }
  CVN_TRY(OpenCursor(start.offset));
  sequence_ =
      sequence::FrameSequence(start.position, sequence::FrameSequence::Membership::kChecked);
  tally_.reset();
  ++next_segment_;
  return {};
}

// A read of given positions jumps from batch to batch, and reads through a
// mapping; a scan reads its segments in large steps, through a buffer of
// its own, and so leaves no pages of them mapped into the process.
Result<> LogReader::OpenCursor(uint64_t offset) {
  if (!filter_.positions) {
    CVN_ASSIGN_OR_RETURN(platform::File file,
                         platform::OpenForRead(log_->SegmentPath(segment_.base)));
    cursor_.Open(std::move(file), offset);
    return {};
  }
  if (segment_active_) {
    CVN_ASSIGN_OR_RETURN(mapped_, log_->MapActive());
  }
  cursor_.OpenMapped(mapped_->bytes(), offset);
  return {};
}

// The active segment's mapping covers the bytes it had when mapped: it is
// mapped again once more have come, or all of it once it has been rolled
// away. True when the new mapping covers more.
Result<bool> LogReader::RemapGrownActive(bool still_active) {
  std::shared_ptr<const mapped::MappedSegment> grown;
  if (still_active) {
    if (log_->active_length() <= mapped_->bytes().size()) return false;
    CVN_ASSIGN_OR_RETURN(grown, log_->MapActive());
  } else {
    CVN_ASSIGN_OR_RETURN(grown, log_->MapClosed(log_->SegmentPath(segment_.base), segment_.base));
  }
  if (grown->bytes().size() <= mapped_->bytes().size()) return false;
  cursor_.OpenMapped(grown->bytes(), cursor_.offset());
  mapped_ = std::move(grown);
  return true;
}

// The positions that a read of given positions looks for in a closed
// segment: the starts of the wanted ranges that begin inside it.
std::vector<uint64_t> LogReader::TargetsIn(const PlannedSegment& segment) const {
  const std::vector<PositionRange>& ranges = *filter_.positions;
  auto inside = std::partition_point(ranges.begin(), ranges.end(), [&](const PositionRange& range) {
    return range.first <= segment.base;
  });
  std::vector<uint64_t> targets;
  for (; inside != ranges.end() && inside->first < segment.end; ++inside) {
    targets.push_back(inside->first);
  }
  return targets;
}

// Where the batches start that a read of given positions looks for in
// several closed segments is found before it reads any, a segment to a
// thread: those walks of frame headers are most of a first read of
// scattered batches, and each segment's is its own. What cannot be mapped
// or indexed is left to the read, which meets it in its own words.
void LogReader::WalkAhead() {
  walked_ahead_ = true;
  if (!filter_.positions) return;
  struct Walk {
    std::shared_ptr<const mapped::MappedSegment> segment;
    std::shared_ptr<const index::Sidecar> sidecar;
    std::vector<uint64_t> targets;
  };
  std::vector<Walk> walks;
  size_t targets = 0;
  for (const PlannedSegment& planned : plan_) {
    // The mappings the log keeps bound how many are walked ahead.
    if (walks.size() == mapped::MappedCache::kCapacity) break;
    if (!planned.path) continue;
    Walk walk{nullptr, nullptr, TargetsIn(planned)};
    if (walk.targets.empty() || !(walk.sidecar = SidecarFor(planned))) continue;
    Result<std::shared_ptr<const mapped::MappedSegment>> mapped =
        log_->MapClosed(*planned.path, planned.base);
    if (!mapped.ok()) continue;
    walk.segment = std::move(*mapped);
    targets += walk.targets.size();
    walks.push_back(std::move(walk));
  }
  if (walks.size() < 2 || targets < kMinTargetsWalkedAhead) return;
  // A thread a core at most, each taking the next segment left.
  std::atomic<size_t> next{0};
  auto walk_segments = [&] {
    for (size_t i = next++; i < walks.size(); i = next++) {
      const Walk& walk = walks[i];
      walk.segment->AwaitWholeWalk();
      for (const uint64_t target : walk.targets) walk.segment->StartBefore(target, *walk.sidecar);
    }
  };
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::future<void>> done;
  for (size_t thread = 0; thread < std::min(walks.size(), cores); ++thread) {
    done.push_back(std::async(std::launch::async, walk_segments));
  }
}

// Whether a wanted range reaches into the segment. The active segment is the
// last one, and holds every range not yet passed.
bool LogReader::HoldsWantedPositions(const PlannedSegment& segment) const {
  if (!filter_.positions) return true;
  const std::vector<PositionRange>& ranges = *filter_.positions;
  auto next = std::partition_point(ranges.begin(), ranges.end(), [&](const PositionRange& range) {
    return range.end <= segment.base;
  });
  return next != ranges.end() && (!segment.path || next->first < segment.end);
}

// The seek point of the open segment for a read of `target`. The active
// segment's are asked of the log only while it is still the active one. A
// read of given positions enters a closed segment at the start of the batch
// it wants, unless the sidecar knows a later point: a walk of batch starts
// ends at the first damaged frame.
std::optional<index::SeekPoint> LogReader::SeekPointBefore(uint64_t target) const {
  if (segment_active_) {
    if (log_->active_base() != segment_.base) return std::nullopt;
    return log_->ActiveSeekPointBefore(target);
  }
  std::optional<index::SeekPoint> seek;
  if (sidecar_) seek = sidecar_->SeekPointBefore(target);
  if (!filter_.positions || !mapped_ || !sidecar_) return seek;
  const std::optional<index::SeekPoint> start = mapped_->StartBefore(target, *sidecar_);
  if (!seek || (start && start->offset > seek->offset)) return start;
  return seek;
}

// Between batches, moves the cursor ahead to the seek point before the next
// wanted range, when that lies beyond it; false when the segment holds no
// wanted range any more.
bool LogReader::SeekToWantedPositions() {
  if (!filter_.positions || sequence_.in_batch()) return true;
  const uint64_t expected = sequence_.expected();
  const PositionRange* next = RangeFrom(expected);
  if (next == nullptr) return false;
  const uint64_t target = next->first;
  if (!segment_active_ && target >= segment_.end) return false;
  if (target <= expected) return true;
  const std::optional<index::SeekPoint> seek = SeekPointBefore(target);
  if (seek && seek->offset > cursor_.offset()) {
    cursor_.Seek(seek->offset);
    sequence_ =
        sequence::FrameSequence(seek->position, sequence::FrameSequence::Membership::kChecked);
    tally_.reset();
  }
  return true;
}

// A segment planned as the active one may have been rolled away since; it is
// then read as the closed segment it has become.
PlannedSegment LogReader::Resolve(const PlannedSegment& planned) const {
  if (planned.path || log_->active_base() == planned.base) return planned;
  return PlannedSegment{log_->SegmentPath(planned.base), planned.base,
                        log_->NextSegmentBase(planned.base)};
}

std::shared_ptr<const index::Sidecar> LogReader::SidecarFor(const PlannedSegment& segment) const {
  if (auto cached = log_->CachedSidecar(segment.base)) return cached;
  std::optional<index::Sidecar> sidecar = index::Load(*segment.path, segment.base, segment.end);
  if (!sidecar) {
    // A segment that cannot be indexed is read without a sidecar, which
    // reports the same damage in the reader's own words.
    Result<index::Sidecar> built = index::BuildSidecar(*segment.path, segment.base);
    if (!built.ok() || built->end != segment.end) return nullptr;
    sidecar = std::move(built).value();
    index::PersistOrWarn(*segment.path, *sidecar);
  }
  auto shared = std::make_shared<const index::Sidecar>(std::move(*sidecar));
  log_->CacheSidecar(segment.base, shared);
  return shared;
}

bool LogReader::Skips(const index::Sidecar& sidecar) const {
  if (filter_.system_only) return sidecar.system_record_count == 0;
  if (!filter_.partition.MaySelectIn(sidecar)) return true;
  if (filter_.time_range && sidecar.HasEvents()) {
    const auto [lo, hi] = *filter_.time_range;
    return sidecar.max_timestamp < lo || sidecar.min_timestamp >= hi;
  }
  return false;
}

// Reads the next frame into frame_, or tells that the segment has no more.
Result<bool> LogReader::ReadFrame() {
  // The active segment is read up to its complete frames as they stand now.
  const bool still_active = segment_active_ && log_->active_base() == segment_.base;
  const uint64_t limit = still_active ? log_->active_length() : cursor::SegmentCursor::kNoLimit;
  uint64_t length = 0;
  CVN_ASSIGN_OR_RETURN(cursor::FrameStatus status, cursor_.FindFrame(limit, &length));
  if (status != cursor::FrameStatus::kFrame && segment_active_ && mapped_) {
    CVN_ASSIGN_OR_RETURN(const bool grown, RemapGrownActive(still_active));
    if (grown) {
      CVN_ASSIGN_OR_RETURN(status, cursor_.FindFrame(limit, &length));
    }
  }
  switch (status) {
    case cursor::FrameStatus::kEnd:
      CVN_TRY(CheckSegmentEnd());
      return false;
    case cursor::FrameStatus::kPartialHeader:
      if (segment_active_) return false;  // a torn tail
      return CorvantineError::Corrupt(
          sequence_.expected(),
          fmt::format("closed segment has {} trailing byte(s)", cursor_.available().size()));
    case cursor::FrameStatus::kPartialFrame:
      if (segment_active_) return false;
      return CorvantineError::Corrupt(sequence_.expected(), "closed segment ends mid-frame");
    case cursor::FrameStatus::kFrame:
      break;
  }
  // A whole frame is there, so DecodeView fills frame_ or fails. The view
  // stays valid until the cursor's next Fill.
  frame_bytes_ = cursor_.available().substr(0, length);
  CVN_TRY(format::DecodeView(frame_bytes_, record::kStandardLimits, &frame_));
  cursor_.Consume(length);
  return true;
}

Result<> LogReader::CheckSegmentEnd() const {
  const uint64_t ended = sequence_.expected();
  if (segment_active_ || ended >= segment_.end) return {};
  return CorvantineError::Corrupt(
      ended, fmt::format("closed segment ended at position {} before its recorded end {}", ended,
                         segment_.end));
}

// Checks a frame's place in the sequence and its batch, and tells whether
// it is handed out.
Result<bool> LogReader::Admit() {
  const sequence::FrameMark mark = sequence::FrameMark::Of(frame_);
  switch (frame_.kind) {
    case format::kEventFrame:
      return AdmitEvent(mark);
    case format::kSystemRecordFrame:
      CVN_TRY(Take(mark));
      return filter_.system_only && Passes(frame_);
    case format::kBatchOpenFrame:
      CVN_TRY(BeginBatch(mark));
      return false;
    case format::kBatchCommitFrame:
      CVN_TRY(CommitBatch(mark));
      return false;
  }
  return false;  // Decode admits no other kind
}

Result<bool> LogReader::AdmitEvent(const sequence::FrameMark& mark) {
  CVN_TRY(Take(mark));
  if (tally_) tally_->AddEvent(frame_bytes_);  // a tally exists only inside a batch
  const uint64_t position = mark.position;
  if (position >= filter_.to) {
    Finish(filter_.to);
    return false;
  }
  // Examined, whether or not it is handed out.
  scanned_ = std::max(scanned_, position + 1);
  if (filter_.system_only || position < filter_.from || !Wanted(position)) return false;
  return Passes(frame_);
}

bool LogReader::Wanted(uint64_t position) {
  if (!filter_.positions) return true;
  const PositionRange* range = RangeFrom(position);
  return range != nullptr && range->first <= position;
}

// The first wanted range that ends after `position`; nullptr: none. The
// reader's positions only grow, so the ranges before it are passed for good.
const PositionRange* LogReader::RangeFrom(uint64_t position) {
  const std::vector<PositionRange>& ranges = *filter_.positions;
  while (next_range_ < ranges.size() && ranges[next_range_].end <= position) ++next_range_;
  return next_range_ < ranges.size() ? &ranges[next_range_] : nullptr;
}

// Takes the frame as the next one, or fails with the rule it breaks.
Result<> LogReader::Take(const sequence::FrameMark& mark) {
  const sequence::Verdict verdict = sequence_.Check(mark);
  if (verdict.broken != sequence::Break::kNone) return Broken(verdict, mark.position);
  sequence_.Accept(mark);
  return {};
}

// Without verification the control payload is not read at all.
Result<> LogReader::BeginBatch(const sequence::FrameMark& mark) {
  CVN_TRY(Take(mark));
  if (filter_.verify_batch_digest) {
    CVN_ASSIGN_OR_RETURN(const record::BatchControl control,
                         record::ParseBatchControl(frame_.payload));
    tally_.emplace(control);
  }
  return {};
}

// A commit that matches its begin has its digest checked before its count of
// events: a verified batch of no events fails the digest.
Result<> LogReader::CommitBatch(const sequence::FrameMark& mark) {
  const std::optional<record::BatchTally> tally = std::exchange(tally_, std::nullopt);
  const sequence::Verdict verdict = sequence_.Check(mark);
  const bool empty = verdict.broken == sequence::Break::kCommitOfNoEvents;
  if (verdict.broken != sequence::Break::kNone && !empty) return Broken(verdict, mark.position);
  if (tally) {
    CVN_ASSIGN_OR_RETURN(const record::BatchControl control,
                         record::ParseBatchControl(frame_.payload));
    if (!tally->Matches(control)) {
      return CorvantineError::Corrupt(mark.position, "batch digest verification failed");
    }
  }
  if (empty) return Broken(verdict, mark.position);
  sequence_.Accept(mark);
  return {};
}

bool LogReader::Passes(const format::FrameView& frame) const {
  const format::EnvelopeView& envelope = frame.envelope;
  if (!filter_.partition.Selects(envelope.stream_id)) return false;
  if (filter_.branch_scopes) {
    const std::vector<BranchScope>& scopes = *filter_.branch_scopes;
    const bool visible = std::any_of(scopes.begin(), scopes.end(), [&](const BranchScope& scope) {
      return scope.branch == envelope.branch_id && frame.position < scope.limit;
    });
    if (!visible) return false;
  }
  if (filter_.time_range) {
    const auto [lo, hi] = *filter_.time_range;
    if (envelope.timestamp_unix_nanos < lo || envelope.timestamp_unix_nanos >= hi) return false;
  }
  return true;
}

}  // namespace reader

std::optional<Result<format::OwnedStoredRecord>> StoredLogIter::Next() {
  if (finished_) return std::nullopt;
  Result<std::optional<format::OwnedStoredRecord>> next = reader_.NextOwned();
  if (!next.ok()) {
    finished_ = true;
    return Result<format::OwnedStoredRecord>(std::move(next).error());
  }
  if (!*next) return std::nullopt;
  return Result<format::OwnedStoredRecord>(std::move(**next));
}

}  // namespace corvantine::log
