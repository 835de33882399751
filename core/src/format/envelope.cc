#include "format/envelope.h"

#include <cstring>

#include <fmt/format.h>

#include "format/cursor.h"
#include "util/coding.h"
#include "util/utf8.h"

namespace corvantine::format {

namespace {

// Every byte of a version 1 envelope other than the event type and the
// metadata entries.
constexpr uint64_t kFixedEnvelopeBytes = 114;
// The fixed-width fields between the version and the event type: four ids,
// the revision and the timestamp.
constexpr size_t kIdsBytes = 4 * 16 + 8 + 8;
// Those between the event type and the metadata entries: schema version,
// payload format, batch id, batch index and the entry count.
constexpr size_t kTailBytes = 4 + 4 + 16 + 4 + 2;

uint64_t EntrySize(std::string_view key, std::string_view value) {
  return 2 + key.size() + 4 + value.size();  // two length fields, then the bytes
}

// The encoded size, without the checks of CheckedEnvelopeSize.
uint64_t EnvelopeSize(const RecordEnvelopeV2& envelope) {
  uint64_t size = kFixedEnvelopeBytes + envelope.event_type.size();
  for (const auto& [key, value] : envelope.metadata) size += EntrySize(key, value);
  return size;
}

char* Put16(char* dst, uint16_t value) {
  util::EncodeFixed16(dst, value);
  return dst + 2;
}

char* Put32(char* dst, uint32_t value) {
  util::EncodeFixed32(dst, value);
  return dst + 4;
}

char* Put64(char* dst, uint64_t value) {
  util::EncodeFixed64(dst, value);
  return dst + 8;
}

char* PutRaw(char* dst, const void* data, size_t n) {
  std::memcpy(dst, data, n);
  return dst + n;
}

char* PutId(char* dst, const IdBytes& id) { return PutRaw(dst, id.data(), id.size()); }

IdBytes IdAt(const char* src) {
  IdBytes bytes;
  std::memcpy(bytes.data(), src, bytes.size());
  return bytes;
}

Result<std::string_view> ReadEventType(Cursor& cursor, const FrameLimits& limits) {
  CVN_ASSIGN_OR_RETURN(std::string_view text, cursor.ShortBytes(limits.max_event_type_bytes));
  CVN_TRY(EventType::Check(text));
  return text;
}

bool HasKey(std::string_view entries, std::string_view wanted) {
  MetadataEntryReader reader(entries);
  std::string_view key;
  std::string_view value;
  while (reader.Next(&key, &value)) {
    if (key == wanted) return true;
  }
  return false;
}

// Finds a repeated metadata key without building a map. Writers store keys
// in increasing order, so a key above the one before it is new; a key out of
// order is looked for among the earlier entries, at most 256 of them.
class RepeatedKeyCheck {
 public:
  // Whether `key` repeats a key of `earlier`, the entries read before it.
  bool Repeats(std::string_view key, std::string_view earlier) {
    // Keys are never empty, so the first key is above the initial last_.
    const bool repeated = (!in_order_ || key <= last_) && HasKey(earlier, key);
    in_order_ = in_order_ && key > last_;
    last_ = key;
    return repeated;
  }

 private:
  std::string_view last_;
  bool in_order_ = true;
};

// Reads and checks one metadata entry, and returns its key.
Result<std::string_view> ReadMetadataEntry(Cursor& cursor, const FrameLimits& limits) {
  CVN_ASSIGN_OR_RETURN(std::string_view key, cursor.ShortBytes(limits.max_metadata_key_bytes));
  if (!util::IsValidUtf8(key)) return CorvantineError::InvalidFormat("metadata key is not UTF-8");
  CVN_TRY(ValidateUtf8MetadataKey(key));
  CVN_ASSIGN_OR_RETURN(uint32_t value_length, cursor.U32());
  if (value_length > limits.max_metadata_value_bytes) {
    return CorvantineError::ResourceLimit("metadata value bytes", value_length,
                                          limits.max_metadata_value_bytes);
  }
  CVN_TRY(cursor.Take(value_length));
  return key;
}

void RebuildMetadata(std::string_view entries, Metadata* metadata) {
  metadata->clear();
  MetadataEntryReader reader(entries);
  std::string_view key;
  std::string_view value;
  // Writers store keys in order, so the end is the right hint.
  while (reader.Next(&key, &value)) metadata->emplace_hint(metadata->end(), key, value);
}

void AssignMetadata(std::string_view entries, Metadata* metadata) {
  MetadataEntryReader reader(entries);
  std::string_view key;
  std::string_view value;
  auto it = metadata->begin();
  for (; reader.Next(&key, &value); ++it) {
    if (it == metadata->end() || it->first != key) return RebuildMetadata(entries, metadata);
    it->second.assign(value);
  }
  if (it != metadata->end()) RebuildMetadata(entries, metadata);
}

}  // namespace

Result<uint64_t> CheckedEnvelopeSize(const RecordEnvelopeV2& envelope, const FrameLimits& limits) {
  const uint64_t type_bytes = envelope.event_type.size();
  if (type_bytes > limits.max_event_type_bytes) {
    return CorvantineError::ResourceLimit("event type bytes", type_bytes,
                                          limits.max_event_type_bytes);
  }
  if (envelope.metadata.size() > limits.max_metadata_entries) {
    return CorvantineError::ResourceLimit("metadata entries", envelope.metadata.size(),
                                          limits.max_metadata_entries);
  }
  uint64_t size = kFixedEnvelopeBytes + type_bytes;
  for (const auto& [key, value] : envelope.metadata) {
    CVN_TRY(ValidateMetadataKey(key));
    if (key.size() > limits.max_metadata_key_bytes) {
      return CorvantineError::ResourceLimit("metadata key bytes", key.size(),
                                            limits.max_metadata_key_bytes);
    }
    if (value.size() > limits.max_metadata_value_bytes) {
      return CorvantineError::ResourceLimit("metadata value bytes", value.size(),
                                            limits.max_metadata_value_bytes);
    }
    size += EntrySize(key, value);
  }
  if (size > limits.max_envelope_bytes) {
    return CorvantineError::ResourceLimit("envelope bytes", size, limits.max_envelope_bytes);
  }
  return size;
}

void AppendEnvelope(const RecordEnvelopeV2& envelope, std::string* out) {
  const size_t start = out->size();
  out->resize(start + EnvelopeSize(envelope));
  WriteEnvelope(envelope, out->data() + start);
}

char* WriteEnvelope(const RecordEnvelopeV2& envelope, char* dst) {
  dst = Put16(dst, kEnvelopeVersion);
  dst = PutId(dst, envelope.event_id.bytes());
  dst = PutId(dst, envelope.database_id.bytes());
  dst = PutId(dst, envelope.branch_id.bytes());
  dst = PutId(dst, envelope.stream_id.bytes());
  dst = Put64(dst, envelope.stream_revision.value);
  dst = Put64(dst, static_cast<uint64_t>(envelope.timestamp_unix_nanos));
  const std::string& type = envelope.event_type.str();
  dst = Put16(dst, static_cast<uint16_t>(type.size()));
  dst = PutRaw(dst, type.data(), type.size());
  dst = Put32(dst, envelope.schema_version);
  dst = Put32(dst, envelope.payload_format);
  dst = PutId(dst, envelope.batch_id.bytes());
  dst = Put32(dst, envelope.batch_index);
  dst = Put16(dst, static_cast<uint16_t>(envelope.metadata.size()));
  for (const auto& [key, value] : envelope.metadata) {
    dst = Put16(dst, static_cast<uint16_t>(key.size()));
    dst = PutRaw(dst, key.data(), key.size());
    dst = Put32(dst, static_cast<uint32_t>(value.size()));
    dst = PutRaw(dst, value.data(), value.size());
  }
  return dst;
}

Result<RecordEnvelopeV2> DecodeEnvelope(std::string_view bytes, const FrameLimits& limits) {
  EnvelopeView view;
  CVN_TRY(DecodeEnvelopeView(bytes, limits, &view));
  return MakeEnvelope(view);
}

Result<> DecodeEnvelopeView(std::string_view bytes, const FrameLimits& limits, EnvelopeView* view) {
  Cursor cursor(bytes);
  CVN_ASSIGN_OR_RETURN(uint16_t version, cursor.U16());
  if (version != kEnvelopeVersion) {
    return CorvantineError::InvalidFormat(fmt::format("unsupported envelope version {}", version));
  }
  // Runs of fixed-width fields are taken whole: nothing but truncation can
  // fail inside them.
  CVN_ASSIGN_OR_RETURN(const std::string_view ids, cursor.Take(kIdsBytes));
  view->event_id = EventId(IdAt(ids.data()));
  view->database_id = DatabaseId(IdAt(ids.data() + 16));
  view->branch_id = BranchId(IdAt(ids.data() + 32));
  view->stream_id = StreamId(IdAt(ids.data() + 48));
  view->stream_revision.value = util::DecodeFixed64(ids.data() + 64);
  view->timestamp_unix_nanos = static_cast<int64_t>(util::DecodeFixed64(ids.data() + 72));
  CVN_ASSIGN_OR_RETURN(view->event_type, ReadEventType(cursor, limits));
  CVN_ASSIGN_OR_RETURN(const std::string_view tail, cursor.Take(kTailBytes));
  view->schema_version = util::DecodeFixed32(tail.data());
  view->payload_format = util::DecodeFixed32(tail.data() + 4);
  view->batch_id = BatchId(IdAt(tail.data() + 8));
  view->batch_index = util::DecodeFixed32(tail.data() + 24);
  const uint16_t entry_count = util::DecodeFixed16(tail.data() + 28);
  if (entry_count > limits.max_metadata_entries) {
    return CorvantineError::ResourceLimit("metadata entries", entry_count,
                                          limits.max_metadata_entries);
  }
  const std::string_view entries = cursor.rest();
  RepeatedKeyCheck repeats;
  for (uint16_t i = 0; i < entry_count; ++i) {
    const std::string_view earlier = entries.substr(0, entries.size() - cursor.remaining());
    CVN_ASSIGN_OR_RETURN(const std::string_view key, ReadMetadataEntry(cursor, limits));
    if (repeats.Repeats(key, earlier)) {
      return CorvantineError::InvalidFormat("duplicate metadata key");
    }
  }
  if (cursor.remaining() > 0) {
    return CorvantineError::InvalidFormat("trailing bytes in v2 envelope");
  }
  view->metadata_entries = entries;
  return {};
}

RecordEnvelopeV2 MakeEnvelope(const EnvelopeView& view) {
  RecordEnvelopeV2 envelope;
  AssignEnvelope(view, &envelope);
  return envelope;
}

void AssignEnvelope(const EnvelopeView& view, RecordEnvelopeV2* envelope) {
  envelope->event_id = view.event_id;
  envelope->database_id = view.database_id;
  envelope->branch_id = view.branch_id;
  envelope->stream_id = view.stream_id;
  envelope->stream_revision = view.stream_revision;
  envelope->timestamp_unix_nanos = view.timestamp_unix_nanos;
  // The view's type passed EventType::Check when it was decoded.
  if (envelope->event_type.str() != view.event_type) {
    envelope->event_type = *EventType::New(std::string(view.event_type));
  }
  envelope->schema_version = view.schema_version;
  envelope->payload_format = view.payload_format;
  envelope->batch_id = view.batch_id;
  envelope->batch_index = view.batch_index;
  AssignMetadata(view.metadata_entries, &envelope->metadata);
}

}  // namespace corvantine::format
