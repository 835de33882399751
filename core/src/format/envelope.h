// The envelope: the per-record header stored in every frame between the
// frame header and the payload. Version 1 layout, integers little-endian,
// T = event-type length:
//
//   0       u16  envelope version (1)
//   2       16   event_id
//   18      16   database_id
//   34      16   branch_id
//   50      16   stream_id
//   66      u64  stream_revision
//   74      i64  timestamp_unix_nanos
//   82      u16  T
//   84      T    event_type
//   84+T    u32  schema_version
//   88+T    u32  payload_format
//   92+T    16   batch_id
//   108+T   u32  batch_index
//   112+T   u16  metadata entry count N
//   114+T        N entries: u16 key length, key, u32 value length, value
//
// Entries are written in increasing byte order of key; a reader accepts any
// order but refuses a repeated key. Nothing follows the last entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error/error.h"
#include "format/event_type.h"
#include "format/ids.h"
#include "format/limits.h"
#include "format/metadata.h"
#include "format/revision.h"
#include "util/coding.h"

namespace corvantine::format {

inline constexpr uint16_t kEnvelopeVersion = 1;

struct RecordEnvelopeV2 {
  EventId event_id;
  DatabaseId database_id;
  BranchId branch_id;
  StreamId stream_id;
  StreamRevision stream_revision;
  int64_t timestamp_unix_nanos = 0;
  EventType event_type;
  uint32_t schema_version = 0;
  // Stored and returned unchanged; the codec does not interpret it.
  uint32_t payload_format = 0;
  BatchId batch_id;
  uint32_t batch_index = 0;
  Metadata metadata;

  friend bool operator==(const RecordEnvelopeV2&, const RecordEnvelopeV2&) = default;
};

// The encoded size of `envelope` after the checks the encoder makes, in this
// order (all ResourceLimit unless noted): "event type bytes"; "metadata
// entries"; for each entry in key order ValidateMetadataKey (InvalidFormat),
// "metadata key bytes", "metadata value bytes"; then "envelope bytes".
Result<uint64_t> CheckedEnvelopeSize(const RecordEnvelopeV2& envelope, const FrameLimits& limits);

// Appends the encoded envelope to *out. Requires CheckedEnvelopeSize to have
// accepted it: the lengths must fit their fields.
void AppendEnvelope(const RecordEnvelopeV2& envelope, std::string* out);

// Writes the encoded envelope to dst, which must have room for the size
// CheckedEnvelopeSize accepted, and returns the end of what it wrote.
char* WriteEnvelope(const RecordEnvelopeV2& envelope, char* dst);

// Decodes exactly the envelope bytes of one frame. Checks, in order: version
// ("unsupported envelope version {}"); the event type's length against
// max_event_type_bytes ("short byte string"), then EventType::New; the entry
// count ("metadata entries"); for each entry the key's length against
// max_metadata_key_bytes ("short byte string"), UTF-8 ("metadata key is not
// UTF-8"), ValidateMetadataKey, the value length ("metadata value bytes") and
// a repeated key ("duplicate metadata key"); finally left-over bytes
// ("trailing bytes in v2 envelope"). A read past the end fails with
// "truncated v2 envelope".
Result<RecordEnvelopeV2> DecodeEnvelope(std::string_view bytes, const FrameLimits& limits);

// An envelope decoded in place: the event type and the metadata entries are
// borrowed from the decoded bytes, so decoding allocates nothing. Readers
// that pass over most frames (scans, batch control frames, records a filter
// drops) look at views and make a RecordEnvelopeV2 only of what they keep.
struct EnvelopeView {
  EventId event_id;
  DatabaseId database_id;
  BranchId branch_id;
  StreamId stream_id;
  StreamRevision stream_revision;
  int64_t timestamp_unix_nanos = 0;
  std::string_view event_type;
  uint32_t schema_version = 0;
  uint32_t payload_format = 0;
  BatchId batch_id;
  uint32_t batch_index = 0;
  // The metadata entries as stored, already checked; read them with
  // MetadataEntryReader.
  std::string_view metadata_entries;
};

// Walks the checked metadata entries of an EnvelopeView in stored order.
class MetadataEntryReader {
 public:
  explicit MetadataEntryReader(std::string_view entries) : rest_(entries) {}

  // The next entry, or false after the last.
  bool Next(std::string_view* key, std::string_view* value) {
    if (rest_.empty()) return false;
    const char* entry = rest_.data();
    const size_t key_length = util::DecodeFixed16(entry);
    *key = std::string_view(entry + 2, key_length);
    const size_t value_length = util::DecodeFixed32(entry + 2 + key_length);
    *value = std::string_view(entry + 6 + key_length, value_length);
    rest_.remove_prefix(6 + key_length + value_length);
    return true;
  }

 private:
  std::string_view rest_;
};

// DecodeEnvelope's checks, in the same order and with the same errors,
// filling *view instead of making the envelope. (A view is some 150 bytes and
// is decoded for every frame read, hence the out-parameter.)
Result<> DecodeEnvelopeView(std::string_view bytes, const FrameLimits& limits, EnvelopeView* view);

// The envelope that `view` describes.
RecordEnvelopeV2 MakeEnvelope(const EnvelopeView& view);

// Makes *envelope equal to MakeEnvelope(view), keeping its storage where it
// can: an unchanged event type, and metadata with the same keys in the same
// order (as consecutive records of one writer have), are overwritten in
// place without allocating.
void AssignEnvelope(const EnvelopeView& view, RecordEnvelopeV2* envelope);

}  // namespace corvantine::format
