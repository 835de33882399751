#include "log/segment.h"

#include <charconv>
#include <functional>
#include <limits>

#include <fmt/format.h>

#include "log/record.h"
#include "log/sequence.h"
#include "platform/platform.h"
#include "util/coding.h"
#include "util/crc32c.h"
#include "util/warning.h"

namespace corvantine::log::segment {

namespace {

// The first four bytes of every frame.
constexpr std::string_view kFrameMagic = "CVN2";

// The file name without its directory and its last extension. A name whose
// only dot leads it (".seg") has no extension.
std::string_view FileStem(std::string_view path) {
  std::string_view name = path.substr(path.rfind('/') + 1);
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

class Scanner {
 public:
  Scanner(std::string_view bytes, uint64_t base, const std::function<void(size_t)>& done_before)
      : bytes_(bytes),
        done_before_(done_before),
        sequence_(base, sequence::FrameSequence::Membership::kChecked),
        result_{.next_position = base, .sidecar = index::SidecarBuilder(base)} {}

  Result<ScanResult> Run();

 private:
  // The reason to stop when `frame`, at byte `offset`, ends the scan.
  Result<std::optional<StopReason>> Admit(const format::FrameView& frame, size_t offset);
  Result<bool> CountInBatch(const format::FrameView& frame, sequence::Verdict verdict,
                            size_t offset);
  Result<bool> CommitMatches(const format::FrameView& frame, sequence::Verdict verdict) const;
  // Takes the frames read since the last complete unit as one, ending at `end`.
  void CompleteUnit(size_t end);

  // Ends the scan at the frame at `offset`.
  ScanResult Stop(StopReason reason, size_t offset);
  // Ends the scan at the frame at `offset` that failed to decode with
  // `error`, or fails with the error where no torn write explains it.
  Result<ScanResult> StopAtUndecodable(CorvantineError error, size_t offset);
  bool ZeroFilledFrom(size_t offset) const;
  // Whether a frame at `position` and byte `offset` could continue the
  // segment after its last complete unit.
  bool Continues(uint64_t position, size_t offset) const;
  std::optional<uint64_t> FindFrameAfterStop() const;

  std::string_view bytes_;
  const std::function<void(size_t)>& done_before_;
  sequence::FrameSequence sequence_;
  // The open batch's events, to be checked against its commit frame.
  std::optional<record::BatchTally> tally_;
  ScanResult result_;
  // The frames read since the last complete unit, for the sidecar once their
  // unit is complete.
  std::vector<index::FrameSummary> unit_;
};

Result<ScanResult> Scanner::Run() {
  size_t offset = 0;
  format::FrameView frame;
  for (;;) {
    // Frames are looked at in place: the scan needs no payload of its own.
    auto decoded = format::DecodeView(bytes_.substr(offset), record::kStandardLimits, &frame);
    if (!decoded.ok()) return StopAtUndecodable(std::move(decoded).error(), offset);
    if (!*decoded) {
      return Stop(
          bytes_.size() == result_.good_length ? StopReason::kCleanEof : StopReason::kTornTail,
          offset);
    }
    CVN_ASSIGN_OR_RETURN(std::optional<StopReason> stop, Admit(frame, offset));
    if (stop) return Stop(*stop, offset);
    offset += frame.frame_len;
  }
}

ScanResult Scanner::Stop(StopReason reason, size_t offset) {
  result_.reason = reason;
  result_.stop_offset = offset;
  if (reason != StopReason::kCleanEof) result_.frame_after_stop = FindFrameAfterStop();
  return std::move(result_);
}

Result<ScanResult> Scanner::StopAtUndecodable(CorvantineError error, size_t offset) {
  if (error.kind() == error::Kind::kCorrupt) return Stop(StopReason::kCrcMismatch, offset);
  if (ZeroFilledFrom(offset)) return Stop(StopReason::kTornTail, offset);
  return error;
}

// A file system may keep a file's length through a power failure but lose
// its last blocks, which then read as zeros: a torn write ends in zeros
// instead of at the end of the file. Taken as bytes never written, those
// zeros leave fewer bytes than a frame header after `offset`, a torn tail
// like any such remnant at the end of a file. Zeros that other bytes follow
// are not a lost tail, and a whole header that fails its checks is no torn
// write.
bool Scanner::ZeroFilledFrom(size_t offset) const {
  const size_t last_written = bytes_.find_last_not_of('\0');
  const size_t written_end = last_written == std::string_view::npos ? 0 : last_written + 1;
  return written_end < offset + format::kFrameHeaderBytes;
}

// Every frame lies at a position of its own or of a later event, and every
// event takes one frame of at least a header's length. So a frame `offset`
// bytes into the segment that continues it carries a position from the
// next one due up to one per header length beyond the last complete unit.
bool Scanner::Continues(uint64_t position, size_t offset) const {
  const uint64_t most_events = (offset - result_.good_length) / format::kFrameHeaderBytes;
  return position >= result_.next_position && position - result_.next_position <= most_events;
}

// Frames that follow the stop are found by their magic. A candidate counts
// only when it decodes whole, checksum included: the bytes of a torn frame
// may hold a magic, or even a frame header, but not a frame that checks.
std::optional<uint64_t> Scanner::FindFrameAfterStop() const {
  format::FrameView frame;
  for (size_t at = bytes_.find(kFrameMagic, result_.stop_offset + 1);
       at != std::string_view::npos; at = bytes_.find(kFrameMagic, at + 1)) {
    auto decoded = format::DecodeView(bytes_.substr(at), record::kStandardLimits, &frame);
    if (decoded.ok() && *decoded && Continues(frame.position, at)) return at;
  }
  return std::nullopt;
}

Result<std::optional<StopReason>> Scanner::Admit(const format::FrameView& frame,
                                                 size_t offset) {
  const sequence::FrameMark mark = sequence::FrameMark::Of(frame);
  const sequence::Verdict verdict = sequence_.Check(mark);
  if (verdict.broken == sequence::Break::kOutOfPlace) return StopReason::kOffsetSequenceMismatch;
  CVN_ASSIGN_OR_RETURN(const bool counted, CountInBatch(frame, verdict, offset));
  if (!counted) return StopReason::kBatchCommitMismatch;
  sequence_.Accept(mark);
  unit_.push_back(index::FrameSummary::Of(frame, offset));
  if (!sequence_.in_batch()) CompleteUnit(offset + frame.frame_len);
  return std::nullopt;
}

// Checks a frame against its batch's control frames: the open frame starts a
// tally, each event of the batch adds to it, and the commit must match it.
// False when the frame does not fit its batch. A malformed control payload is
// an error, not a stop: no torn write makes one.
Result<bool> Scanner::CountInBatch(const format::FrameView& frame, sequence::Verdict verdict,
                                   size_t offset) {
  switch (frame.kind) {
    case format::kBatchOpenFrame: {
      CVN_ASSIGN_OR_RETURN(const record::BatchControl control,
                           record::ParseBatchControl(frame.payload));
      tally_.emplace(control);
      return true;
    }
    case format::kEventFrame:
      if (!sequence_.in_batch()) return true;
      if (verdict.broken != sequence::Break::kNone || tally_->full()) return false;
      tally_->AddEvent(bytes_.substr(offset, frame.frame_len));
      return true;
    case format::kBatchCommitFrame:
      return CommitMatches(frame, verdict);
  }
  return true;  // a system record
}

Result<bool> Scanner::CommitMatches(const format::FrameView& frame,
                                    sequence::Verdict verdict) const {
  // Without an open frame there is no count to read the payload against.
  if (verdict.broken == sequence::Break::kCommitWithoutBegin) return false;
  CVN_ASSIGN_OR_RETURN(const record::BatchControl control,
                       record::ParseBatchControl(frame.payload));
  return verdict.broken == sequence::Break::kNone && tally_->Matches(control);
}

void Scanner::CompleteUnit(size_t end) {
  if (done_before_) done_before_(end);
  result_.good_length = end;
  result_.next_position = sequence_.expected();
  for (const index::FrameSummary& frame : unit_) result_.sidecar.AddChecked(frame);
  unit_.clear();
}

const format::EventType& BatchControlEventType() {
  static const format::EventType type =
      *format::EventType::New(std::string(kBatchControlEventType));
  return type;
}

std::string EncodeLittleEndian32(uint32_t value) {
  std::string bytes(4, '\0');
  util::EncodeFixed32(bytes.data(), value);
  return bytes;
}

bool IsControlKey(std::string_view key) {
  return key == format::kBatchCountKey || key == format::kBatchDigestKey;
}

// Sets the control entry `key` of a control envelope to `value`.
void SetControlEntry(format::Metadata& metadata, std::string_view key, uint32_t value) {
  auto entry = metadata.find(key);
  if (entry == metadata.end()) entry = metadata.emplace(key, std::string()).first;
  entry->second = EncodeLittleEndian32(value);
}

// Makes the entries of `control` other than the control entries equal to
// those of `event`. When the keys have not changed since the last batch, the
// usual case, only the values are copied, which reuses their storage.
void SyncEventEntries(const format::Metadata& event, format::Metadata& control) {
  auto entry = control.begin();
  auto skip_control_entries = [&] {
    while (entry != control.end() && IsControlKey(entry->first)) ++entry;
  };
  for (const auto& [key, value] : event) {
    skip_control_entries();
    if (entry == control.end() || entry->first != key) {
      control = event;
      return;
    }
    entry->second = value;
    ++entry;
  }
  skip_control_entries();
  if (entry != control.end()) control = event;
}

// Makes *envelope the envelope of both control frames of a batch whose first
// event carries `first_event`: the same but for the event type, the batch
// index and the two control entries. The envelope is kept from batch to
// batch, and is updated field by field rather than copied, so that steady
// appends neither allocate nor rebuild its map.
void SetControlEnvelope(const format::RecordEnvelopeV2& first_event, record::BatchControl control,
                        format::RecordEnvelopeV2* envelope) {
  envelope->event_id = first_event.event_id;
  envelope->database_id = first_event.database_id;
  envelope->branch_id = first_event.branch_id;
  envelope->stream_id = first_event.stream_id;
  envelope->stream_revision = first_event.stream_revision;
  envelope->timestamp_unix_nanos = first_event.timestamp_unix_nanos;
  envelope->event_type = BatchControlEventType();
  envelope->schema_version = first_event.schema_version;
  envelope->payload_format = first_event.payload_format;
  envelope->batch_id = first_event.batch_id;
  envelope->batch_index = control.count;
  SyncEventEntries(first_event.metadata, envelope->metadata);
  SetControlEntry(envelope->metadata, format::kBatchCountKey, control.count);
  SetControlEntry(envelope->metadata, format::kBatchDigestKey, control.digest);
}

// The sidecar's summary of a frame that is not an event.
index::FrameSummary NonEventSummary(uint64_t offset, uint8_t kind, uint64_t position) {
  index::FrameSummary summary;
  summary.offset = offset;
  summary.kind = kind;
  summary.position = position;
  return summary;
}

// Cutting the file at the damage would throw away the valid frames after
// it, synced ones among them.
CorvantineError DamageBeforeValidFrames(const std::string& path, const ScanResult& scan) {
  return CorvantineError::Corrupt(
      scan.stop_offset,
      fmt::format("segment {} is damaged at byte {} ({}), but a valid frame follows at byte {}: "
                  "not a torn tail, nothing was cut",
                  path, scan.stop_offset, StopReasonText(scan.reason), *scan.frame_after_stop));
}

// Scans the file through a mapping whose pages are dropped behind the scan:
// an active segment may be tens of MiB, and the open reads the catalog
// meanwhile.
Result<ScanResult> ScanFile(const std::string& path, uint64_t base) {
  CVN_ASSIGN_OR_RETURN(platform::MappedFile mapped, platform::MapForRead(path));
  const std::function<void(size_t)> release = [&](size_t end) { mapped.ReleaseBefore(end); };
  return Scanner(mapped.bytes(), base, release).Run();
}

}  // namespace

std::string SegmentFileName(uint64_t base) { return fmt::format("{:020}.seg", base); }

Result<uint64_t> ParseBaseOffset(std::string_view path) {
  std::string_view digits = FileStem(path);
  if (digits.starts_with('+')) digits.remove_prefix(1);
  uint64_t base = 0;
  const char* end = digits.data() + digits.size();
  auto [stop, ec] = std::from_chars(digits.data(), end, base);
  // from_chars takes no sign and stops at the first non-digit, so digits
  // only, at least one, and no overflow. Digits are valid UTF-8 by nature.
  if (digits.empty() || ec != std::errc() || stop != end) {
    return CorvantineError::InvalidSegmentFileName(std::string(path));
  }
  return base;
}

std::string_view StopReasonText(StopReason reason) {
  switch (reason) {
    case StopReason::kCleanEof: return "clean eof";
    case StopReason::kTornTail: return "torn tail: incomplete trailing record";
    case StopReason::kCrcMismatch: return "crc mismatch";
    case StopReason::kOffsetSequenceMismatch: return "offset-sequence mismatch";
    case StopReason::kBatchCommitMismatch: return "batch commit mismatch";
  }
  return "";
}

Result<ScanResult> ScanSegment(std::string_view bytes, uint64_t base) {
  return Scanner(bytes, base, {}).Run();
}

Result<Segment> Segment::Create(const std::string& log_dir, uint64_t base) {
  const std::string path = platform::JoinPath(log_dir, SegmentFileName(base));
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::CreateExclusive(path));
  return Segment(std::move(file), base, 0, base, index::SidecarBuilder(base));
}

Result<Segment> Segment::Open(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(uint64_t base, ParseBaseOffset(path));
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::OpenForReadWrite(path));
  CVN_ASSIGN_OR_RETURN(const uint64_t size, file.Size());
  CVN_ASSIGN_OR_RETURN(ScanResult scan, ScanFile(path, base));
  if (scan.frame_after_stop) return DamageBeforeValidFrames(path, scan);
  if (size > scan.good_length) {
    util::Warn(fmt::format("truncating {} at byte {} ({}), dropping {} trailing byte(s)", path,
                           scan.good_length, StopReasonText(scan.reason),
                           size - scan.good_length));
    CVN_TRY(file.Truncate(scan.good_length));
    CVN_TRY(file.Sync());
  }
  return Segment(std::move(file), base, scan.good_length, scan.next_position,
                 std::move(scan.sidecar));
}

Result<std::pair<uint64_t, uint64_t>> Segment::AppendBatch(std::span<const BatchRecord> records) {
  constexpr uint64_t kMaxEvents = std::numeric_limits<uint32_t>::max();
  if (records.empty()) {
    return CorvantineError::InvalidArgument("storage batch must not be empty");
  }
  if (records.size() > kMaxEvents) {
    return CorvantineError::ResourceLimit("batch event count", records.size(), kMaxEvents);
  }
  const uint64_t first = next_position_;
  CVN_ASSIGN_OR_RETURN(const uint64_t control_len, MeasureBatch(records));
  const uint64_t offset = byte_length_;
  const Result<> written = Write(LayOutBatch(records, first, control_len));
  // The buffer is kept for the next batch unless this one was exceptionally
  // large.
  constexpr size_t kKeptBufferBytes = 4 << 20;
  if (batch_buffer_.size() > kKeptBufferBytes) batch_buffer_ = std::string();
  CVN_TRY(written);
  IndexBatch(records, first, offset, control_len);
  const auto count = static_cast<uint32_t>(records.size());
  next_position_ += count;
  return std::pair{first, first + count - 1};
}

// Every frame is checked and measured before any is laid out, so that a
// failure writes nothing and the batch is laid out in one buffer in file
// order, although the open frame carries the digest of the events after it.
Result<uint64_t> Segment::MeasureBatch(std::span<const BatchRecord> records) {
  frame_lengths_.clear();
  for (size_t i = 0; i < records.size(); ++i) {
    const BatchRecord& record = records[i];
    if (record.envelope.batch_index != i) {
      return CorvantineError::InvalidFormat(fmt::format(
          "batch index {} does not match event order {}", record.envelope.batch_index, i));
    }
    CVN_ASSIGN_OR_RETURN(const uint64_t length,
                         format::CheckedFrameSize(format::kEventFrame, /*flags=*/0,
                                                  record.envelope, record.payload,
                                                  record::kStandardLimits));
    frame_lengths_.push_back(length);
  }
  // The digest is not known yet; its entry has a fixed width, so the length
  // measured with a placeholder stands.
  const record::BatchControl control{.count = static_cast<uint32_t>(records.size()), .digest = 0};
  SetControlEnvelope(records.front().envelope, control, &control_envelope_);
  const char payload[record::BatchControl::kBytes] = {};
  return format::CheckedFrameSize(format::kBatchOpenFrame, /*flags=*/0, control_envelope_,
                                  std::string_view(payload, sizeof payload),
                                  record::kStandardLimits);
}

std::string_view Segment::LayOutBatch(std::span<const BatchRecord> records, uint64_t first,
                                      uint64_t control_len) {
  uint64_t events_len = 0;
  for (uint64_t length : frame_lengths_) events_len += length;
  const uint64_t total = 2 * control_len + events_len;
  // The buffer only grows, so that steady appends neither allocate nor clear
  // it.
  if (batch_buffer_.size() < total) batch_buffer_.resize(total);

  char* const events = batch_buffer_.data() + control_len;
  char* next = events;
  for (size_t i = 0; i < records.size(); ++i) {
    format::WriteFrame(format::kEventFrame, first + i, records[i].envelope, records[i].payload,
                       frame_lengths_[i], next);
    next += frame_lengths_[i];
  }
  const record::BatchControl control{.count = static_cast<uint32_t>(records.size()),
                             .digest = util::crc32c::Value(events, events_len)};
  SetControlEntry(control_envelope_.metadata, format::kBatchDigestKey, control.digest);
  char payload[record::BatchControl::kBytes];
  record::EncodeBatchControl(control, payload);
  const std::string_view payload_view(payload, sizeof payload);
  format::WriteFrame(format::kBatchOpenFrame, first, control_envelope_, payload_view, control_len,
                     batch_buffer_.data());
  format::WriteFrame(format::kBatchCommitFrame, first, control_envelope_, payload_view,
                     control_len, next);
  return std::string_view(batch_buffer_.data(), total);
}

void Segment::IndexBatch(std::span<const BatchRecord> records, uint64_t first, uint64_t offset,
                         uint64_t control_len) {
  sidecar_.AddChecked(NonEventSummary(offset, format::kBatchOpenFrame, first));
  offset += control_len;
  for (size_t i = 0; i < records.size(); ++i) {
    const format::RecordEnvelopeV2& envelope = records[i].envelope;
    sidecar_.AddChecked({.offset = offset,
                         .kind = format::kEventFrame,
                         .position = first + i,
                         .stream_id = envelope.stream_id,
                         .timestamp_unix_nanos = envelope.timestamp_unix_nanos});
    offset += frame_lengths_[i];
  }
  sidecar_.AddChecked(NonEventSummary(offset, format::kBatchCommitFrame, first));
}

Result<> Segment::AppendSystem(const format::RecordEnvelopeV2& envelope,
                               std::string_view payload) {
  std::string frame;
  CVN_TRY(
      record::EncodeKind(format::kSystemRecordFrame, next_position_, envelope, payload, &frame));
  const uint64_t offset = byte_length_;
  CVN_TRY(Write(frame));
  sidecar_.AddChecked(NonEventSummary(offset, format::kSystemRecordFrame, next_position_));
  return {};
}

Result<> Segment::Sync() { return file_.Sync(); }

Result<> Segment::Write(std::string_view frames) {
  if (poison_) return *poison_;
  Result<> written = file_.WriteAt(byte_length_, frames);
  if (!written.ok()) {
    Result<> undone = file_.Truncate(byte_length_);
    if (!undone.ok()) poison_ = std::move(undone).error();
    return written;
  }
  byte_length_ += frames.size();
  return {};
}

}  // namespace corvantine::log::segment
