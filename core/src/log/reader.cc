#include "log/reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include <fmt/format.h>

#include "log/log.h"
#include "log/record.h"
#include "log/segment.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::log {
namespace reader {

namespace {

constexpr size_t kFillStep = 128 * 1024;
// A seek point follows at least this many bytes after the previous one.
constexpr uint64_t kSeekSpacing = 65'536;

// What a cursor holds at a frame boundary.
enum class FrameStatus {
  kFrame,          // a whole frame
  kEnd,            // no bytes left
  kPartialHeader,  // 1 to 31 bytes left
  kPartialFrame,   // a header whose frame the file does not complete
};

// Makes the next whole frame available at the cursor, reading nothing at or
// beyond `limit`, and sets *length to its length.
Result<FrameStatus> FindFrame(SegmentCursor& cursor, uint64_t limit, uint64_t* length) {
  CVN_TRY(cursor.Fill(format::kFrameHeaderBytes, limit));
  const size_t available = cursor.available().size();
  if (available == 0) return FrameStatus::kEnd;
  if (available < format::kFrameHeaderBytes) return FrameStatus::kPartialHeader;
  CVN_ASSIGN_OR_RETURN(std::optional<uint64_t> total,
                       format::FrameTotalLen(cursor.available(), record::kStandardLimits));
  CVN_TRY(cursor.Fill(*total, limit));
  if (cursor.available().size() < *total) return FrameStatus::kPartialFrame;
  *length = *total;
  return FrameStatus::kFrame;
}

uint64_t FirstWordLittleEndian(const format::StreamId& stream) {
  return util::DecodeFixed64(reinterpret_cast<const char*>(stream.bytes().data()));
}

}  // namespace

void SegmentCursor::Open(platform::File file, uint64_t offset) {
  file_ = std::move(file);
  read_offset_ = offset;
  consumed_ = 0;
  filled_ = 0;
  at_end_ = false;
}

void SegmentCursor::Close() { file_ = platform::File(); }

Result<> SegmentCursor::Refill(size_t n, uint64_t limit) {
  while (filled_ - consumed_ < n && !at_end_) {
    if (consumed_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + consumed_, filled_ - consumed_);
      filled_ -= consumed_;
      consumed_ = 0;
    }
    const size_t target = std::max(filled_ + kFillStep, n);
    if (target > buffer_.size()) buffer_.resize(target);
    const uint64_t room = limit > read_offset_ ? limit - read_offset_ : 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer_.size() - filled_, room));
    size_t got = 0;
    if (want > 0) {
      CVN_ASSIGN_OR_RETURN(got, file_.ReadAt(read_offset_, want, buffer_.data() + filled_));
    }
    filled_ += got;
    read_offset_ += got;
    // ReadAt returns fewer bytes than asked for only at the end of the file.
    if (want == 0 || got < want) at_end_ = true;
  }
  return {};
}

CorvantineError CorruptSequence(uint64_t position, uint64_t expected) {
  return CorvantineError::Corrupt(
      position, fmt::format("position {} breaks expected sequence {}", position, expected));
}

SidecarBuilder::SidecarBuilder(uint64_t base) : expected_(base) {
  sidecar_.base = base;
  sidecar_.seek_points.push_back({base, 0});
}

Result<> SidecarBuilder::Add(const FrameSummary& frame) {
  CVN_TRY(Check(frame));
  AddChecked(frame);
  return {};
}

Result<> SidecarBuilder::Check(const FrameSummary& frame) const {
  const uint64_t position = frame.position;
  switch (frame.kind) {
    case format::kEventFrame: {
      const uint64_t expected = in_batch_ ? batch_begin_ + batch_events_ : expected_;
      if (position != expected) return CorruptSequence(position, expected);
      return {};
    }
    case format::kSystemRecordFrame:
    case format::kBatchOpenFrame:
      return CheckStandalone(position);
    case format::kBatchCommitFrame:
      if (!in_batch_) return CorvantineError::Corrupt(position, "batch commit without begin");
      if (batch_events_ == 0 || position != batch_begin_) {
        return CorruptSequence(position, batch_begin_);
      }
      return {};
  }
  return {};  // Decode admits no other kind
}

void SidecarBuilder::AddChecked(const FrameSummary& frame) {
  if (!in_batch_ && frame.offset != 0 && frame.offset - last_seek_offset_ >= kSeekSpacing) {
    sidecar_.seek_points.push_back({expected_, frame.offset});
    last_seek_offset_ = frame.offset;
  }
  switch (frame.kind) {
    case format::kEventFrame:
      AddEvent(frame);
      if (in_batch_) {
        ++batch_events_;
      } else {
        ++expected_;
      }
      return;
    case format::kSystemRecordFrame:
      ++sidecar_.system_record_count;
      return;
    case format::kBatchOpenFrame:
      in_batch_ = true;
      batch_begin_ = frame.position;
      batch_events_ = 0;
      return;
    case format::kBatchCommitFrame:
      in_batch_ = false;
      expected_ = batch_begin_ + batch_events_;
      return;
  }
}

Result<index::Sidecar> SidecarBuilder::Finish() const {
  if (in_batch_) {
    return CorvantineError::Corrupt(expected_, "segment ends inside an uncommitted batch");
  }
  index::Sidecar sidecar = sidecar_;
  sidecar.end = expected_;
  sidecar.postings.reserve(postings_.size());
  for (const auto& [stream, posting] : postings_) sidecar.postings.push_back(posting);
  return sidecar;
}

Result<> SidecarBuilder::CheckStandalone(uint64_t position) const {
  if (in_batch_ || position != expected_) return CorruptSequence(position, expected_);
  return {};
}

void SidecarBuilder::AddEvent(const FrameSummary& frame) {
  sidecar_.min_timestamp = std::min(sidecar_.min_timestamp, frame.timestamp_unix_nanos);
  sidecar_.max_timestamp = std::max(sidecar_.max_timestamp, frame.timestamp_unix_nanos);
  auto [it, inserted] = postings_.try_emplace(
      frame.stream_id, index::PostingEntry{frame.stream_id, frame.position, frame.position, 0});
  it->second.last_position = frame.position;
  ++it->second.count;
}

Result<index::Sidecar> BuildSidecar(const std::string& path, uint64_t base) {
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::OpenForRead(path));
  SegmentCursor cursor;
  cursor.Open(std::move(file), 0);
  SidecarBuilder builder(base);
  format::FrameView frame;
  for (uint64_t offset = 0;;) {
    uint64_t length = 0;
    CVN_ASSIGN_OR_RETURN(FrameStatus status, FindFrame(cursor, SegmentCursor::kNoLimit, &length));
    switch (status) {
      case FrameStatus::kEnd:
        return builder.Finish();
      case FrameStatus::kPartialHeader:
        return CorvantineError::Corrupt(builder.expected(), "segment has trailing bytes");
      case FrameStatus::kPartialFrame:
        return CorvantineError::Corrupt(builder.expected(), "segment ends mid-frame");
      case FrameStatus::kFrame:
        break;
    }
    // A whole frame is there, so DecodeView fills `frame` or fails.
    CVN_TRY(format::DecodeView(cursor.available().substr(0, length), record::kStandardLimits,
                               &frame));
    cursor.Consume(length);
    CVN_TRY(builder.Add(FrameSummary::Of(frame, offset)));
    offset += length;
  }
}

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

LogReader::LogReader(std::unique_ptr<const LogView> log, std::vector<PlannedSegment> plan,
                     ResolvedFilter filter)
    : log_(std::move(log)),
      plan_(std::move(plan)),
      filter_(std::move(filter)),
      scanned_(filter_.from) {}

Result<const format::FrameView*> LogReader::NextView() {
  if (done_) return nullptr;
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
  std::shared_ptr<const index::Sidecar> sidecar = active ? nullptr : SidecarFor(segment);
  if (sidecar && Skips(*sidecar)) {
    ++next_segment_;
    return {};
  }
  index::SeekPoint start{segment.base, 0};
  // System records ignore `from`, so a system-record read never seeks past any.
  if (sidecar && !filter_.system_only && filter_.from > segment.base) {
    start = sidecar->SeekPointBefore(filter_.from).value_or(start);
  }
  const std::string path = active ? log_->SegmentPath(segment.base) : *segment.path;
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::OpenForRead(path));
  cursor_.Open(std::move(file), start.offset);
  segment_ = segment;
  segment_active_ = active;
  expected_ = start.position;
  batch_.reset();
  ++next_segment_;
  return {};
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
    Result<index::Sidecar> built = BuildSidecar(*segment.path, segment.base);
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
  const uint64_t limit = still_active ? log_->active_length() : SegmentCursor::kNoLimit;
  uint64_t length = 0;
  CVN_ASSIGN_OR_RETURN(FrameStatus status, FindFrame(cursor_, limit, &length));
  switch (status) {
    case FrameStatus::kEnd:
      CVN_TRY(CheckSegmentEnd());
      return false;
    case FrameStatus::kPartialHeader:
      if (segment_active_) return false;  // a torn tail
      return CorvantineError::Corrupt(
          expected_,
          fmt::format("closed segment has {} trailing byte(s)", cursor_.available().size()));
    case FrameStatus::kPartialFrame:
      if (segment_active_) return false;
      return CorvantineError::Corrupt(expected_, "closed segment ends mid-frame");
    case FrameStatus::kFrame:
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
  if (segment_active_ || expected_ >= segment_.end) return {};
  return CorvantineError::Corrupt(
      expected_, fmt::format("closed segment ended at position {} before its recorded end {}",
                             expected_, segment_.end));
}

// Checks a frame's place in the sequence and its batch, and tells whether
// it is handed out.
Result<bool> LogReader::Admit() {
  switch (frame_.kind) {
    case format::kEventFrame:
      return AdmitEvent();
    case format::kSystemRecordFrame:
      CVN_TRY(CheckStandalone(frame_.position));
      return filter_.system_only && Passes(frame_);
    case format::kBatchOpenFrame:
      CVN_TRY(BeginBatch(frame_));
      return false;
    case format::kBatchCommitFrame:
      CVN_TRY(CommitBatch(frame_));
      return false;
  }
  return false;  // Decode admits no other kind
}

Result<bool> LogReader::AdmitEvent() {
  const uint64_t position = frame_.position;
  if (batch_) {
    OpenBatch& batch = *batch_;
    const uint64_t due = batch.begin + batch.seen;
    if (position != due) return CorruptSequence(position, due);
    if (frame_.envelope.batch_id != batch.batch_id || frame_.envelope.batch_index != batch.seen) {
      return CorruptSequence(position, position);
    }
    if (batch.verifying) {
      batch.crc = util::crc32c::Extend(batch.crc, frame_bytes_.data(), frame_bytes_.size());
    }
    ++batch.seen;
  } else {
    if (position != expected_) return CorruptSequence(position, expected_);
    expected_ = position + 1;
  }
  if (position >= filter_.to) {
    Finish(filter_.to);
    return false;
  }
  // Examined, whether or not it is handed out.
  scanned_ = std::max(scanned_, position + 1);
  if (filter_.system_only || position < filter_.from) return false;
  return Passes(frame_);
}

Result<> LogReader::CheckStandalone(uint64_t position) const {
  if (batch_ || position != expected_) return CorruptSequence(position, expected_);
  return {};
}

Result<> LogReader::BeginBatch(const format::FrameView& frame) {
  CVN_TRY(CheckStandalone(frame.position));
  OpenBatch batch;
  batch.verifying = filter_.verify_batch_digest;
  batch.begin = frame.position;
  batch.batch_id = frame.envelope.batch_id;
  if (batch.verifying) {
    CVN_ASSIGN_OR_RETURN(segment::BatchControl control, segment::ParseBatchControl(frame.payload));
    batch.count = control.count;
    batch.digest = control.digest;
  }
  batch_ = batch;
  return {};
}

Result<> LogReader::CommitBatch(const format::FrameView& frame) {
  const uint64_t position = frame.position;
  const std::optional<OpenBatch> batch = std::exchange(batch_, std::nullopt);
  if (!batch) return CorvantineError::Corrupt(position, "batch commit without begin");
  if (position != batch->begin || frame.envelope.batch_id != batch->batch_id) {
    return CorvantineError::Corrupt(position, "batch commit does not match its begin");
  }
  if (batch->verifying) {
    CVN_ASSIGN_OR_RETURN(segment::BatchControl control, segment::ParseBatchControl(frame.payload));
    if (batch->crc != batch->digest || control.count != batch->count ||
        control.digest != batch->digest || batch->seen != batch->count) {
      return CorvantineError::Corrupt(position, "batch digest verification failed");
    }
  }
  if (batch->seen == 0) return CorvantineError::Corrupt(position, "batch committed zero events");
  expected_ = position + batch->seen;
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

 private:
  std::vector<SegmentMeta>::const_iterator FirstClosedAbove(uint64_t base) const {
    const std::vector<SegmentMeta>& closed = log_.closed_segments();
    return std::upper_bound(closed.begin(), closed.end(), base,
                            [](uint64_t b, const SegmentMeta& meta) { return b < meta.base; });
  }

  const Log& log_;
};

}  // namespace

reader::LogReader Log::PlanReader(reader::ResolvedFilter filter) const {
  std::vector<reader::PlannedSegment> segments;
  segments.reserve(closed_.size() + 1);
  for (size_t i = 0; i < closed_.size(); ++i) {
    const uint64_t end = i + 1 < closed_.size() ? closed_[i + 1].base : active_.base();
    segments.push_back({closed_[i].path, closed_[i].base, end});
  }
  segments.push_back({std::nullopt, active_.base(), head()});
  std::vector<reader::PlannedSegment> plan =
      reader::PlanSegments(std::move(segments), filter, retention_floor());
  return reader::LogReader(std::make_unique<LiveLogView>(*this), std::move(plan),
                           std::move(filter));
}

StoredLogIter Log::SystemRecords() const {
  return StoredLogIter(PlanReader(reader::ResolvedFilter{.system_only = true}));
}

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
