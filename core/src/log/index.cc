#include "log/index.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "log/cursor.h"
#include "log/record.h"
#include "platform/platform.h"
#include "util/coding.h"
#include "util/crc32c.h"
#include "util/warning.h"

namespace corvantine::log::index {

namespace {

constexpr char kMagic[4] = {'C', 'V', 'N', 'X'};
constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderBytes = 56;
constexpr size_t kSeekPointBytes = 16;
constexpr size_t kPostingBytes = 40;
constexpr size_t kCrcBytes = 4;
// A seek point follows at least this many bytes after the previous one.
constexpr uint64_t kSeekSpacing = 65'536;

// The in-memory seek points of the segment being written follow at least
// this many bytes after each other, at 16 bytes each.
constexpr uint64_t kDenseSeekSpacing = 512;

// The last point whose position is at most `target`.
std::optional<SeekPoint> LastSeekPointAtOrBefore(const std::vector<SeekPoint>& points,
                                                 uint64_t target) {
  // The first seek point beyond the target; the one before it is the answer.
  auto beyond = std::upper_bound(
      points.begin(), points.end(), target,
      [](uint64_t position, const SeekPoint& point) { return position < point.position; });
  if (beyond == points.begin()) return std::nullopt;
  return *std::prev(beyond);
}

CorvantineError Invalid(const char* reason) {
  return CorvantineError::InvalidFormat(std::string("sidecar: ") + reason);
}

void PutU64(std::string& out, uint64_t value) {
  char bytes[8];
  util::EncodeFixed64(bytes, value);
  out.append(bytes, sizeof bytes);
}

uint64_t U64At(std::string_view bytes, size_t offset) {
  return util::DecodeFixed64(bytes.data() + offset);
}

bool Sorted(const Sidecar& sidecar) {
  auto position_decreases = [](const SeekPoint& a, const SeekPoint& b) {
    return b.position < a.position;
  };
  auto id_not_increasing = [](const PostingEntry& a, const PostingEntry& b) {
    return !(a.stream_id < b.stream_id);
  };
  const auto& seeks = sidecar.seek_points;
  const auto& postings = sidecar.postings;
  return std::adjacent_find(seeks.begin(), seeks.end(), position_decreases) == seeks.end() &&
         std::adjacent_find(postings.begin(), postings.end(), id_not_increasing) == postings.end();
}

// A summary has no batch ids: the builder takes batch membership on trust.
sequence::FrameMark MarkOf(const FrameSummary& frame) {
  return {.kind = frame.kind, .position = frame.position, .batch_id = {}, .batch_index = 0};
}

}  // namespace

Result<Sidecar> Sidecar::Decode(std::string_view bytes) {
  if (bytes.size() < kHeaderBytes + kCrcBytes) return Invalid("too short");
  const size_t body = bytes.size() - kCrcBytes;
  if (util::crc32c::Value(bytes.data(), body) != util::DecodeFixed32(bytes.data() + body)) {
    return Invalid("crc mismatch");
  }
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) return Invalid("bad magic");
  if (util::DecodeFixed16(bytes.data() + 4) != kVersion) return Invalid("unsupported version");
  const uint64_t seek_count = util::DecodeFixed32(bytes.data() + 48);
  const uint64_t posting_count = util::DecodeFixed32(bytes.data() + 52);
  if (body != kHeaderBytes + kSeekPointBytes * seek_count + kPostingBytes * posting_count) {
    return Invalid("length mismatch");
  }

  Sidecar sidecar;
  sidecar.base = U64At(bytes, 8);
  sidecar.end = U64At(bytes, 16);
  sidecar.min_timestamp = static_cast<int64_t>(U64At(bytes, 24));
  sidecar.max_timestamp = static_cast<int64_t>(U64At(bytes, 32));
  sidecar.system_record_count = U64At(bytes, 40);
  size_t offset = kHeaderBytes;
  sidecar.seek_points.reserve(seek_count);
  for (uint64_t i = 0; i < seek_count; ++i, offset += kSeekPointBytes) {
    sidecar.seek_points.push_back({U64At(bytes, offset), U64At(bytes, offset + 8)});
  }
  sidecar.postings.reserve(posting_count);
  for (uint64_t i = 0; i < posting_count; ++i, offset += kPostingBytes) {
    util::Bytes16 id;
    std::memcpy(id.data(), bytes.data() + offset, id.size());
    sidecar.postings.push_back({format::StreamId(id), U64At(bytes, offset + 16),
                                U64At(bytes, offset + 24), U64At(bytes, offset + 32)});
  }
  if (!Sorted(sidecar)) return Invalid("unsorted entries");
  return sidecar;
}

std::string Sidecar::Encode() const {
  std::string out;
  out.reserve(kHeaderBytes + kSeekPointBytes * seek_points.size() +
              kPostingBytes * postings.size() + kCrcBytes);
  char small[4];
  out.append(kMagic, sizeof kMagic);
  util::EncodeFixed16(small, kVersion);
  util::EncodeFixed16(small + 2, 0);  // reserved
  out.append(small, 4);
  PutU64(out, base);
  PutU64(out, end);
  PutU64(out, static_cast<uint64_t>(min_timestamp));
  PutU64(out, static_cast<uint64_t>(max_timestamp));
  PutU64(out, system_record_count);
  util::EncodeFixed32(small, static_cast<uint32_t>(seek_points.size()));
  out.append(small, 4);
  util::EncodeFixed32(small, static_cast<uint32_t>(postings.size()));
  out.append(small, 4);
  for (const SeekPoint& point : seek_points) {
    PutU64(out, point.position);
    PutU64(out, point.offset);
  }
  for (const PostingEntry& posting : postings) {
    const util::Bytes16& id = posting.stream_id.bytes();
    out.append(reinterpret_cast<const char*>(id.data()), id.size());
    PutU64(out, posting.first_position);
    PutU64(out, posting.last_position);
    PutU64(out, posting.count);
  }
  util::EncodeFixed32(small, util::crc32c::Value(out));
  out.append(small, 4);
  return out;
}

std::optional<SeekPoint> Sidecar::SeekPointBefore(uint64_t target) const {
  return LastSeekPointAtOrBefore(seek_points, target);
}

bool Sidecar::HasPosting(const format::StreamId& stream) const {
  auto it = std::lower_bound(postings.begin(), postings.end(), stream,
                             [](const PostingEntry& posting, const format::StreamId& id) {
                               return posting.stream_id < id;
                             });
  return it != postings.end() && it->stream_id == stream;
}

std::string SidecarPath(std::string_view segment_path) {
  const size_t name_start = segment_path.find_last_of('/') + 1;  // 0 without a slash
  const size_t dot = segment_path.find_last_of('.');
  const bool has_extension = dot != std::string_view::npos && dot > name_start;
  std::string path(has_extension ? segment_path.substr(0, dot) : segment_path);
  return path + ".sidx";
}

std::optional<Sidecar> Load(const std::string& segment_path, uint64_t base, uint64_t end) {
  Result<std::string> bytes = platform::ReadFile(SidecarPath(segment_path));
  if (!bytes.ok()) return std::nullopt;
  Result<Sidecar> sidecar = Sidecar::Decode(*bytes);
  if (!sidecar.ok() || sidecar->base != base || sidecar->end != end) return std::nullopt;
  return std::move(sidecar).value();
}

Result<> Persist(const std::string& segment_path, const Sidecar& sidecar) {
  const std::string path = SidecarPath(segment_path);
  const std::string temporary = path + ".tmp";
  {
    CVN_ASSIGN_OR_RETURN(platform::File file, platform::CreateOrTruncate(temporary));
    CVN_TRY(file.WriteAt(0, sidecar.Encode()));
    CVN_TRY(file.Close());
  }
  Result<> renamed = platform::Rename(temporary, path);
  if (renamed.ok()) return renamed;
  // Some platforms refuse to replace an existing file: clear the way once.
  (void)platform::RemoveFile(path);
  if (platform::Rename(temporary, path).ok()) return {};
  return renamed;
}

void PersistOrWarn(const std::string& segment_path, const Sidecar& sidecar) {
  if (Result<> persisted = Persist(segment_path, sidecar); !persisted.ok()) {
    util::Warn(fmt::format("could not persist sidecar for {}: {}", segment_path,
                           persisted.error().Detail()));
  }
}

SidecarBuilder::SidecarBuilder(uint64_t base)
    : sequence_(base, sequence::FrameSequence::Membership::kTrusted) {
  sidecar_.base = base;
  sidecar_.seek_points.push_back({base, 0});
  dense_seek_points_.push_back({base, 0});
}

Result<> SidecarBuilder::Add(const FrameSummary& frame) {
  const sequence::Verdict verdict = sequence_.Check(MarkOf(frame));
  switch (verdict.broken) {
    case sequence::Break::kNone:
      AddChecked(frame);
      return {};
    case sequence::Break::kCommitWithoutBegin:
      return CorvantineError::Corrupt(frame.position, "batch commit without begin");
    default:
      return sequence::CorruptSequence(frame.position, verdict.due);
  }
}

void SidecarBuilder::AddChecked(const FrameSummary& frame) {
  if (!sequence_.in_batch() && frame.offset != 0 &&
      frame.offset - last_seek_offset_ >= kSeekSpacing) {
    sidecar_.seek_points.push_back({sequence_.expected(), frame.offset});
    last_seek_offset_ = frame.offset;
  }
  if (!sequence_.in_batch() &&
      frame.offset - dense_seek_points_.back().offset >= kDenseSeekSpacing) {
    dense_seek_points_.push_back({sequence_.expected(), frame.offset});
  }
  if (frame.kind == format::kEventFrame) AddEvent(frame);
  if (frame.kind == format::kSystemRecordFrame) ++sidecar_.system_record_count;
  sequence_.Accept(MarkOf(frame));
}

std::optional<SeekPoint> SidecarBuilder::SeekPointBefore(uint64_t target) const {
  return LastSeekPointAtOrBefore(dense_seek_points_, target);
}

Result<Sidecar> SidecarBuilder::Finish() const {
  if (sequence_.in_batch()) {
    return CorvantineError::Corrupt(sequence_.expected(),
                                    "segment ends inside an uncommitted batch");
  }
  Sidecar sidecar = sidecar_;
  sidecar.end = sequence_.expected();
  sidecar.postings.reserve(postings_.size());
  for (const auto& [stream, posting] : postings_) sidecar.postings.push_back(posting);
  return sidecar;
}

void SidecarBuilder::AddEvent(const FrameSummary& frame) {
  sidecar_.min_timestamp = std::min(sidecar_.min_timestamp, frame.timestamp_unix_nanos);
  sidecar_.max_timestamp = std::max(sidecar_.max_timestamp, frame.timestamp_unix_nanos);
  auto [it, inserted] = postings_.try_emplace(
      frame.stream_id, PostingEntry{frame.stream_id, frame.position, frame.position, 0});
  it->second.last_position = frame.position;
  ++it->second.count;
}

Result<Sidecar> BuildSidecar(const std::string& path, uint64_t base) {
  CVN_ASSIGN_OR_RETURN(platform::File file, platform::OpenForRead(path));
  cursor::SegmentCursor cursor;
  cursor.Open(std::move(file), 0);
  SidecarBuilder builder(base);
  format::FrameView frame;
  for (uint64_t offset = 0;;) {
    uint64_t length = 0;
    CVN_ASSIGN_OR_RETURN(cursor::FrameStatus status,
                         cursor.FindFrame(cursor::SegmentCursor::kNoLimit, &length));
    switch (status) {
      case cursor::FrameStatus::kEnd:
        return builder.Finish();
      case cursor::FrameStatus::kPartialHeader:
        return CorvantineError::Corrupt(builder.expected(), "segment has trailing bytes");
      case cursor::FrameStatus::kPartialFrame:
        return CorvantineError::Corrupt(builder.expected(), "segment ends mid-frame");
      case cursor::FrameStatus::kFrame:
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

}  // namespace corvantine::log::index
