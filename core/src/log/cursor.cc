#include "log/cursor.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "format/format.h"
#include "log/record.h"

namespace corvantine::log::cursor {

namespace {

constexpr size_t kFillStep = 128 * 1024;
// The first reads after a Seek; each further read doubles, up to kFillStep.
constexpr size_t kSmallSeekStep = 1024;
constexpr size_t kSeekStep = 4 * 1024;

}  // namespace

void SegmentCursor::Open(platform::File file, uint64_t offset) {
  file_ = std::move(file);
  mapped_.reset();
  seek_offset_ = kNoLimit;
  Restart(offset, kFillStep);
}

void SegmentCursor::OpenMapped(std::string_view bytes, uint64_t offset) {
  file_ = platform::File();
  mapped_ = bytes;
  read_offset_ = bytes.size();
  filled_ = bytes.size();
  consumed_ = std::min<uint64_t>(offset, bytes.size());
  at_end_ = true;
}

void SegmentCursor::Seek(uint64_t offset) {
  if (mapped_) {
    consumed_ = std::min<uint64_t>(offset, filled_);
    return;
  }
  const bool used_little = seek_offset_ <= this->offset() &&
                           this->offset() - seek_offset_ <= kSmallSeekStep;
  if (offset >= this->offset() && offset <= read_offset_) {
    consumed_ += offset - this->offset();  // already read
  } else {
    Restart(offset, used_little ? kSmallSeekStep : kSeekStep);
  }
  seek_offset_ = offset;
}

void SegmentCursor::Restart(uint64_t offset, size_t fill_step) {
  read_offset_ = offset;
  consumed_ = 0;
  filled_ = 0;
  at_end_ = false;
  fill_step_ = fill_step;
}

void SegmentCursor::Close() {
  file_ = platform::File();
  mapped_.reset();
}

Result<FrameStatus> SegmentCursor::FindFrame(uint64_t limit, uint64_t* length) {
  if (mapped_) filled_ = std::max<uint64_t>(consumed_, std::min<uint64_t>(mapped_->size(), limit));
  CVN_TRY(Fill(format::kFrameHeaderBytes, limit));
  if (available().empty()) return FrameStatus::kEnd;
  if (available().size() < format::kFrameHeaderBytes) return FrameStatus::kPartialHeader;
  CVN_ASSIGN_OR_RETURN(std::optional<uint64_t> total,
                       format::FrameTotalLen(available(), record::kStandardLimits));
  CVN_TRY(Fill(*total, limit));
  if (available().size() < *total) return FrameStatus::kPartialFrame;
  *length = *total;
  return FrameStatus::kFrame;
}

Result<> SegmentCursor::Refill(size_t n, uint64_t limit) {
  while (filled_ - consumed_ < n && !at_end_) {
    if (consumed_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + consumed_, filled_ - consumed_);
      filled_ -= consumed_;
      consumed_ = 0;
    }
    const size_t target = std::max(filled_ + fill_step_, n);
    fill_step_ = std::min(2 * fill_step_, kFillStep);
    if (target > buffer_.size()) buffer_.resize(target);
    const uint64_t room = limit > read_offset_ ? limit - read_offset_ : 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(target - filled_, room));
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

}  // namespace corvantine::log::cursor
