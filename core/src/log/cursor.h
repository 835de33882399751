// Buffered reads of a segment file, frame by frame, as the sidecar builder
// and the log reader walk it.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "error/error.h"
#include "platform/platform.h"

namespace corvantine::log::cursor {

// What a cursor holds at a frame boundary.
enum class FrameStatus {
  kFrame,          // a whole frame
  kEnd,            // no bytes left
  kPartialHeader,  // 1 to 31 bytes left
  kPartialFrame,   // a header whose frame the file does not complete
};

// A buffered read window over one segment file, or a window over a mapped
// one. Bytes are read positionally, so the window is independent of any
// other handle on the file, and are looked at in place: a caller takes a
// frame from available() and then consumes its length. Reads take 128 KiB at
// least, or after a Seek less first (see Seek), doubling up to 128 KiB; the
// buffer never shrinks, and is kept when the cursor moves to another file.
// Over a mapped file every byte is available at once, and nothing is read.
class SegmentCursor {
 public:
  static constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();

  // Starts reading `file` at byte `offset`, with no bytes available.
  void Open(platform::File file, uint64_t offset);
  // Starts at byte `offset` of a mapped file's `bytes`, which must stay
  // mapped until the cursor is closed or opened again. FindFrame's limit
  // holds over them as over a file.
  void OpenMapped(std::string_view bytes, uint64_t offset);
  // Goes on reading the same file at byte `offset`: from the bytes already
  // read when it lies among them, else afresh. A reader that seeks again and
  // again tends to use about as many bytes after each seek, so the first
  // read takes 1 KiB when at most that many were consumed since the last
  // Seek (about one small batch: copying bytes nobody uses costs more than
  // a second read), else, or when none came since Open, 4 KiB.
  void Seek(uint64_t offset);
  // Releases the file; the buffer's storage stays for the next Open.
  void Close();
  bool is_open() const { return file_.is_open() || mapped_; }

  // Makes at least `n` bytes available unless the file ends first, reading
  // nothing at or beyond the file offset `limit`. Reaching the end is not an
  // error: the caller looks at how many bytes are available. Once the end
  // has been met the cursor reads no more.
  Result<> Fill(size_t n, uint64_t limit = kNoLimit) {
    // Most calls, one or two for each frame, find the bytes already there.
    if (filled_ - consumed_ >= n || at_end_) return {};
    return Refill(n, limit);
  }

  // Makes the next whole frame available, reading nothing at or beyond
  // `limit`, and sets *length to its length when there is one. Fails with
  // the errors of the frame header (format::FrameTotalLen) and Io.
  Result<FrameStatus> FindFrame(uint64_t limit, uint64_t* length);

  std::string_view available() const {
    return (mapped_ ? *mapped_ : std::string_view(buffer_)).substr(consumed_, filled_ - consumed_);
  }
  // The file offset of the first available byte.
  uint64_t offset() const { return read_offset_ - (filled_ - consumed_); }
  // Marks the first `n` available bytes as read. They stay in place until
  // the next Fill, so views into them remain valid until then.
  void Consume(size_t n) { consumed_ += n; }

 private:
  // Fill when the bytes are not there yet.
  Result<> Refill(size_t n, uint64_t limit);
  // Reads from `offset` on, with nothing available, `fill_step` bytes first.
  void Restart(uint64_t offset, size_t fill_step);

  platform::File file_;
  std::optional<std::string_view> mapped_;  // the bytes of a mapped file
  uint64_t read_offset_ = 0;  // the file offset of buffer_[filled_]
  std::string buffer_;
  size_t consumed_ = 0;
  size_t filled_ = 0;
  bool at_end_ = false;
  size_t fill_step_ = 0;  // the bytes the next read adds at least
  uint64_t seek_offset_ = kNoLimit;  // where the last Seek put the cursor; kNoLimit: none
};

}  // namespace corvantine::log::cursor
