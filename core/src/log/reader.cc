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

// Decodes the whole frame found by FindFrame and consumes it. A whole frame
// is there, so Decode gives a record or an error.
Result<format::StoredRecord> TakeFrame(SegmentCursor& cursor, uint64_t length) {
  CVN_ASSIGN_OR_RETURN(
      std::optional<format::StoredRecord> record,
      format::Decode(cursor.available().substr(0, length), record::kStandardLimits));
  cursor.Consume(length);
  return std::move(record).value();
}

// The running state of BuildSidecar, fed one frame at a time. Unlike the
// reader it does not compare batch ids or indexes, nor check digests.
class SidecarBuilder {
 public:
  explicit SidecarBuilder(uint64_t base) : expected_(base) {
    sidecar_.base = base;
    sidecar_.seek_points.push_back({base, 0});
  }

  // Called before each frame is added, with the frame's byte offset.
  void NoteFrameOffset(uint64_t offset) {
    if (in_batch_ || offset == 0 || offset - last_seek_offset_ < kSeekSpacing) return;
    sidecar_.seek_points.push_back({expected_, offset});
    last_seek_offset_ = offset;
  }

  Result<> Add(const format::StoredRecord& record) {
    const uint64_t position = record.position;
    switch (record.kind) {
      case format::kEventFrame: {
        const uint64_t expected = in_batch_ ? batch_begin_ + batch_events_ : expected_;
        if (position != expected) return CorruptSequence(position, expected);
        AddEvent(record);
        if (in_batch_) {
          ++batch_events_;
        } else {
          ++expected_;
        }
        return {};
      }
      case format::kSystemRecordFrame:
        CVN_TRY(CheckStandalone(position));
        ++sidecar_.system_record_count;
        return {};
      case format::kBatchOpenFrame:
        CVN_TRY(CheckStandalone(position));
        in_batch_ = true;
        batch_begin_ = position;
        batch_events_ = 0;
        return {};
      case format::kBatchCommitFrame:
        if (!in_batch_) return CorvantineError::Corrupt(position, "batch commit without begin");
        if (batch_events_ == 0 || position != batch_begin_) {
          return CorruptSequence(position, batch_begin_);
        }
        in_batch_ = false;
        expected_ = batch_begin_ + batch_events_;
        return {};
    }
    return {};  // Decode admits no other kind
  }

  Result<index::Sidecar> Finish() {
    if (in_batch_) {
      return CorvantineError::Corrupt(expected_, "segment ends inside an uncommitted batch");
    }
    sidecar_.end = expected_;
    sidecar_.postings.reserve(postings_.size());
    for (auto& [stream, posting] : postings_) sidecar_.postings.push_back(posting);
    return std::move(sidecar_);
  }

  uint64_t expected() const { return expected_; }

 private:
  Result<> CheckStandalone(uint64_t position) const {
    if (in_batch_ || position != expected_) return CorruptSequence(position, expected_);
    return {};
  }

  void AddEvent(const format::StoredRecord& record) {
    const int64_t timestamp = record.envelope.timestamp_unix_nanos;
    sidecar_.min_timestamp = std::min(sidecar_.min_timestamp, timestamp);
    sidecar_.max_timestamp = std::max(sidecar_.max_timestamp, timestamp);
    const format::StreamId& stream = record.envelope.stream_id;
    auto [it, inserted] = postings_.try_emplace(
        stream, index::PostingEntry{stream, record.position, record.position, 0});
    it->second.last_position = record.position;
    ++it->second.count;
  }

  index::Sidecar sidecar_;
  std::map<format::StreamId, index::PostingEntry> postings_;
  uint64_t expected_;
  uint64_t last_seek_offset_ = 0;
  bool in_batch_ = false;
  uint64_t batch_begin_ = 0;
  uint32_t batch_events_ = 0;
};

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

Result<> SegmentCursor::Fill(size_t n, uint64_t limit) {
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

Result<index::Sidecar> BuildSidecar(const std::string& path, uint64_t base) {
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::OpenForRead(path));
  SegmentCursor cursor;
  cursor.Open(std::move(file), 0);
  SidecarBuilder builder(base);
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
    builder.NoteFrameOffset(offset);
    CVN_ASSIGN_OR_RETURN(format::StoredRecord record, TakeFrame(cursor, length));
    CVN_TRY(builder.Add(record));
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

struct LogReader::Frame {
  format::StoredRecord record;
  std::string_view bytes;
};

LogReader::LogReader(std::unique_ptr<const LogView> log, std::vector<PlannedSegment> plan,
                     ResolvedFilter filter)
    : log_(std::move(log)),
      plan_(std::move(plan)),
      filter_(std::move(filter)),
      scanned_(filter_.from) {}

Result<std::optional<format::StoredRecord>> LogReader::Next() {
  if (done_) return std::nullopt;
  if (filter_.max_records && yielded_ >= *filter_.max_records) return Finish(scanned_);
  while (!done_) {
    if (!cursor_.is_open()) {
      if (next_segment_ == plan_.size()) return Finish(std::min(CoveredEnd(), filter_.to));
      CVN_TRY(OpenNextSegment());
      continue;
    }
    CVN_ASSIGN_OR_RETURN(std::optional<Frame> frame, ReadFrame());
    if (!frame) {
      cursor_.Close();
      continue;
    }
    CVN_ASSIGN_OR_RETURN(bool yield, Admit(*frame));
    if (yield) {
      ++yielded_;
      return std::move(frame->record);
    }
  }
  return std::nullopt;
}

Result<std::optional<format::OwnedStoredRecord>> LogReader::NextOwned() {
  CVN_ASSIGN_OR_RETURN(std::optional<format::StoredRecord> record, Next());
  if (!record) return std::nullopt;
  return format::ToOwned(std::move(*record));
}

std::optional<format::StoredRecord> LogReader::Finish(uint64_t scanned) {
  done_ = true;
  scanned_ = std::max(scanned_, scanned);
  cursor_.Close();
  return std::nullopt;
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

Result<std::optional<LogReader::Frame>> LogReader::ReadFrame() {
  // The active segment is read up to its complete frames as they stand now.
  const bool still_active = segment_active_ && log_->active_base() == segment_.base;
  const uint64_t limit = still_active ? log_->active_length() : SegmentCursor::kNoLimit;
  uint64_t length = 0;
  CVN_ASSIGN_OR_RETURN(FrameStatus status, FindFrame(cursor_, limit, &length));
  switch (status) {
    case FrameStatus::kEnd:
      CVN_TRY(CheckSegmentEnd());
      return std::nullopt;
    case FrameStatus::kPartialHeader:
      if (segment_active_) return std::nullopt;  // a torn tail
      return CorvantineError::Corrupt(
          expected_,
          fmt::format("closed segment has {} trailing byte(s)", cursor_.available().size()));
    case FrameStatus::kPartialFrame:
      if (segment_active_) return std::nullopt;
      return CorvantineError::Corrupt(expected_, "closed segment ends mid-frame");
    case FrameStatus::kFrame:
      break;
  }
  const std::string_view bytes = cursor_.available().substr(0, length);
  CVN_ASSIGN_OR_RETURN(format::StoredRecord record, TakeFrame(cursor_, length));
  return Frame{std::move(record), bytes};
}

Result<> LogReader::CheckSegmentEnd() const {
  if (segment_active_ || expected_ >= segment_.end) return {};
  return CorvantineError::Corrupt(
      expected_, fmt::format("closed segment ended at position {} before its recorded end {}",
                             expected_, segment_.end));
}

// Checks a frame's place in the sequence and its batch, and tells whether
// it is handed out.
Result<bool> LogReader::Admit(const Frame& frame) {
  const format::StoredRecord& record = frame.record;
  switch (record.kind) {
    case format::kEventFrame:
      return AdmitEvent(frame);
    case format::kSystemRecordFrame:
      CVN_TRY(CheckStandalone(record.position));
      return filter_.system_only && Passes(record);
    case format::kBatchOpenFrame:
      CVN_TRY(BeginBatch(record));
      return false;
    case format::kBatchCommitFrame:
      CVN_TRY(CommitBatch(record));
      return false;
  }
  return false;  // Decode admits no other kind
}

Result<bool> LogReader::AdmitEvent(const Frame& frame) {
  const format::StoredRecord& record = frame.record;
  const uint64_t position = record.position;
  if (batch_) {
    OpenBatch& batch = *batch_;
    const uint64_t due = batch.begin + batch.seen;
    if (position != due) return CorruptSequence(position, due);
    if (record.envelope.batch_id != batch.batch_id || record.envelope.batch_index != batch.seen) {
      return CorruptSequence(position, position);
    }
    if (batch.verifying) {
      batch.crc = util::crc32c::Extend(batch.crc, frame.bytes.data(), frame.bytes.size());
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
  return Passes(record);
}

Result<> LogReader::CheckStandalone(uint64_t position) const {
  if (batch_ || position != expected_) return CorruptSequence(position, expected_);
  return {};
}

Result<> LogReader::BeginBatch(const format::StoredRecord& record) {
  CVN_TRY(CheckStandalone(record.position));
  OpenBatch batch;
  batch.verifying = filter_.verify_batch_digest;
  batch.begin = record.position;
  batch.batch_id = record.envelope.batch_id;
  if (batch.verifying) {
    CVN_ASSIGN_OR_RETURN(segment::BatchControl control, segment::ParseBatchControl(record.payload));
    batch.count = control.count;
    batch.digest = control.digest;
  }
  batch_ = batch;
  return {};
}

Result<> LogReader::CommitBatch(const format::StoredRecord& record) {
  const uint64_t position = record.position;
  const std::optional<OpenBatch> batch = std::exchange(batch_, std::nullopt);
  if (!batch) return CorvantineError::Corrupt(position, "batch commit without begin");
  if (position != batch->begin || record.envelope.batch_id != batch->batch_id) {
    return CorvantineError::Corrupt(position, "batch commit does not match its begin");
  }
  if (batch->verifying) {
    CVN_ASSIGN_OR_RETURN(segment::BatchControl control, segment::ParseBatchControl(record.payload));
    if (batch->crc != batch->digest || control.count != batch->count ||
        control.digest != batch->digest || batch->seen != batch->count) {
      return CorvantineError::Corrupt(position, "batch digest verification failed");
    }
  }
  if (batch->seen == 0) return CorvantineError::Corrupt(position, "batch committed zero events");
  expected_ = position + batch->seen;
  return {};
}

bool LogReader::Passes(const format::StoredRecord& record) const {
  const format::RecordEnvelopeV2& envelope = record.envelope;
  if (!filter_.partition.Selects(envelope.stream_id)) return false;
  if (filter_.branch_scopes) {
    const std::vector<BranchScope>& scopes = *filter_.branch_scopes;
    const bool visible = std::any_of(scopes.begin(), scopes.end(), [&](const BranchScope& scope) {
      return scope.branch == envelope.branch_id && record.position < scope.limit;
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
