#include "log/segment.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include <fmt/format.h>

#include "log/record.h"
#include "util/coding.h"
#include "util/crc32c.h"

namespace corvantine::log::segment {

namespace {

constexpr size_t kControlPayloadBytes = 8;

// The file name without its directory and its last extension. A name whose
// only dot leads it (".seg") has no extension.
std::string_view FileStem(std::string_view path) {
  std::string_view name = path.substr(path.rfind('/') + 1);
  size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot);
}

// The batch being collected by a scan, from its open frame on.
struct PendingBatch {
  uint64_t begin = 0;
  format::BatchId batch_id;
  BatchControl control;
  size_t events_offset = 0;  // where its first event frame starts
  uint32_t seen = 0;         // event frames accepted so far
};

class Scanner {
 public:
  Scanner(std::string_view bytes, uint64_t base) : bytes_(bytes) { result_.next_position = base; }

  Result<ScanResult> Run();

 private:
  // Each returns the reason to stop when `frame` ends the scan. `offset` is
  // the frame's byte offset, `end` the offset just past it.
  Result<std::optional<StopReason>> Admit(const format::StoredRecord& frame, size_t offset,
                                          size_t end);
  std::optional<StopReason> AdmitEvent(const format::StoredRecord& frame, size_t end);
  std::optional<StopReason> AdmitSystem(const format::StoredRecord& frame, size_t end);
  Result<std::optional<StopReason>> OpenBatch(const format::StoredRecord& frame, size_t end);
  Result<std::optional<StopReason>> CommitBatch(const format::StoredRecord& frame, size_t offset,
                                                size_t end);

  std::string_view bytes_;
  ScanResult result_;
  std::optional<PendingBatch> batch_;
};

Result<ScanResult> Scanner::Run() {
  size_t offset = 0;
  for (;;) {
    // Frames are looked at in place: the scan needs no payload of its own.
    auto decoded = format::Decode(bytes_.substr(offset), record::kStandardLimits);
    if (!decoded.ok()) {
      if (decoded.error().kind() != error::Kind::kCorrupt) return std::move(decoded).error();
      result_.reason = StopReason::kCrcMismatch;
      return result_;
    }
    if (!decoded->has_value()) {
      result_.reason =
          bytes_.size() == result_.good_length ? StopReason::kCleanEof : StopReason::kTornTail;
      return result_;
    }
    const format::StoredRecord& frame = **decoded;
    const size_t end = offset + frame.frame_len;
    CVN_ASSIGN_OR_RETURN(std::optional<StopReason> stop, Admit(frame, offset, end));
    if (stop) {
      result_.reason = *stop;
      return result_;
    }
    offset = end;
  }
}

Result<std::optional<StopReason>> Scanner::Admit(const format::StoredRecord& frame,
                                                 size_t offset, size_t end) {
  switch (frame.kind) {
    case format::kEventFrame: return AdmitEvent(frame, end);
    case format::kSystemRecordFrame: return AdmitSystem(frame, end);
    case format::kBatchOpenFrame: return OpenBatch(frame, end);
    default: return CommitBatch(frame, offset, end);  // Decode admits kinds 1 to 4 only
  }
}

std::optional<StopReason> Scanner::AdmitEvent(const format::StoredRecord& frame, size_t end) {
  if (!batch_) {
    // A standalone event is a complete unit of its own.
    if (frame.position != result_.next_position) return StopReason::kOffsetSequenceMismatch;
    result_.next_position += 1;
    result_.good_length = end;
    return std::nullopt;
  }
  PendingBatch& batch = *batch_;
  if (frame.position != batch.begin + batch.seen || frame.envelope.batch_id != batch.batch_id ||
      frame.envelope.batch_index != batch.seen || batch.seen >= batch.control.count) {
    return StopReason::kBatchCommitMismatch;
  }
  batch.seen += 1;
  return std::nullopt;
}

std::optional<StopReason> Scanner::AdmitSystem(const format::StoredRecord& frame, size_t end) {
  if (batch_ || frame.position != result_.next_position) {
    return StopReason::kOffsetSequenceMismatch;
  }
  result_.good_length = end;
  return std::nullopt;
}

Result<std::optional<StopReason>> Scanner::OpenBatch(const format::StoredRecord& frame,
                                                     size_t end) {
  if (batch_ || frame.position != result_.next_position) {
    return StopReason::kOffsetSequenceMismatch;
  }
  CVN_ASSIGN_OR_RETURN(BatchControl control, ParseBatchControl(frame.payload));
  batch_ = PendingBatch{.begin = result_.next_position,
                        .batch_id = frame.envelope.batch_id,
                        .control = control,
                        .events_offset = end};
  return std::nullopt;
}

Result<std::optional<StopReason>> Scanner::CommitBatch(const format::StoredRecord& frame,
                                                       size_t offset, size_t end) {
  if (!batch_) return StopReason::kBatchCommitMismatch;
  const PendingBatch batch = *batch_;
  batch_.reset();
  CVN_ASSIGN_OR_RETURN(BatchControl control, ParseBatchControl(frame.payload));
  // Only event frames are admitted inside a batch, so its event frames are
  // exactly the bytes between the open frame and this one.
  if (frame.position != batch.begin || frame.envelope.batch_id != batch.batch_id ||
      control.count != batch.control.count || control.digest != batch.control.digest ||
      batch.seen != batch.control.count ||
      util::crc32c::Value(bytes_.substr(batch.events_offset, offset - batch.events_offset)) !=
          batch.control.digest) {
    return StopReason::kBatchCommitMismatch;
  }
  result_.next_position += batch.control.count;
  result_.good_length = end;
  return std::nullopt;
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

// The envelope of both control frames of a batch whose first event carries
// `first_event`.
format::RecordEnvelopeV2 ControlEnvelope(const format::RecordEnvelopeV2& first_event,
                                         BatchControl control) {
  format::RecordEnvelopeV2 envelope = first_event;
  envelope.event_type = BatchControlEventType();
  envelope.batch_index = control.count;
  envelope.metadata.insert_or_assign(std::string(format::kBatchCountKey),
                                     EncodeLittleEndian32(control.count));
  envelope.metadata.insert_or_assign(std::string(format::kBatchDigestKey),
                                     EncodeLittleEndian32(control.digest));
  return envelope;
}

// The whole output of a batch: open frame, the encoded event frames, commit
// frame.
Result<std::string> FrameBatch(const format::RecordEnvelopeV2& first_event, uint64_t first,
                               uint32_t count, std::string_view events) {
  const BatchControl control{.count = count, .digest = util::crc32c::Value(events)};
  const std::string payload = EncodeLittleEndian32(control.count) +
                              EncodeLittleEndian32(control.digest);
  const format::RecordEnvelopeV2 envelope = ControlEnvelope(first_event, control);
  std::string frames;
  CVN_TRY(record::EncodeKind(format::kBatchOpenFrame, first, envelope, payload, &frames));
  frames.reserve(2 * frames.size() + events.size());
  frames += events;
  CVN_TRY(record::EncodeKind(format::kBatchCommitFrame, first, envelope, payload, &frames));
  return frames;
}

Result<std::string> ReadWholeFile(const platform::File& file) {
  CVN_ASSIGN_OR_RETURN(uint64_t size, file.Size());
  std::string bytes(size, '\0');
  CVN_TRY(file.ReadExactAt(0, bytes.size(), bytes.data()));
  return bytes;
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

Result<BatchControl> ParseBatchControl(std::string_view payload) {
  if (payload.size() != kControlPayloadBytes) {
    return CorvantineError::InvalidFormat("batch control payload must be eight bytes");
  }
  BatchControl control{.count = util::DecodeFixed32(payload.data()),
                       .digest = util::DecodeFixed32(payload.data() + 4)};
  if (control.count == 0) {
    return CorvantineError::InvalidFormat("batch control count must be nonzero");
  }
  return control;
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
  return Scanner(bytes, base).Run();
}

Result<Segment> Segment::Create(const std::string& log_dir, uint64_t base) {
  const std::string path = platform::JoinPath(log_dir, SegmentFileName(base));
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::CreateExclusive(path));
  return Segment(std::move(file), base, 0, base);
}

Result<Segment> Segment::Open(const std::string& path) {
  CVN_ASSIGN_OR_RETURN(uint64_t base, ParseBaseOffset(path));
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::OpenForReadWrite(path));
  CVN_ASSIGN_OR_RETURN(std::string image, ReadWholeFile(file));
  CVN_ASSIGN_OR_RETURN(ScanResult scan, ScanSegment(image, base));
  if (image.size() > scan.good_length) {
    fmt::print(stderr, "corvantine: truncating {} at byte {} ({}), dropping {} trailing byte(s)\n",
               path, scan.good_length, StopReasonText(scan.reason),
               image.size() - scan.good_length);
    CVN_TRY(file.Truncate(scan.good_length));
    CVN_TRY(file.Sync());
  }
  return Segment(std::move(file), base, scan.good_length, scan.next_position);
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
  std::string events;
  for (size_t i = 0; i < records.size(); ++i) {
    const BatchRecord& record = records[i];
    if (record.envelope.batch_index != i) {
      return CorvantineError::InvalidFormat(fmt::format(
          "batch index {} does not match event order {}", record.envelope.batch_index, i));
    }
    CVN_TRY(record::EncodeKind(format::kEventFrame, first + i, record.envelope, record.payload,
                               &events));
  }
  const auto count = static_cast<uint32_t>(records.size());
  CVN_ASSIGN_OR_RETURN(std::string frames,
                       FrameBatch(records.front().envelope, first, count, events));
  CVN_TRY(Write(frames));
  next_position_ += count;
  return std::pair{first, first + count - 1};
}

Result<> Segment::AppendSystem(const format::RecordEnvelopeV2& envelope,
                               std::string_view payload) {
  std::string frame;
  CVN_TRY(
      record::EncodeKind(format::kSystemRecordFrame, next_position_, envelope, payload, &frame));
  return Write(frame);
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
