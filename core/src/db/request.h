// What the append path derives from a request before it writes anything: the
// caller metadata check, the request digest behind idempotent retries, and
// the id of a new stream. Digests and ids are stored in the log, so their
// rules must never change.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "error/error.h"
#include "format/ids.h"
#include "stream/stream.h"

namespace corvantine::db {

// The metadata keys the append writes on every event it stores; a caller may
// not supply them.
inline constexpr std::string_view kSystemWrittenKeys[] = {
    format::kStreamNameKey, format::kIdempotencyKeyKey, format::kRequestDigestKey};

// InvalidArgument "reserved metadata key {key} is written by the system" for
// the first such key found, events in order.
Result<> CheckCallerMetadata(std::span<const stream::NewEvent> events);

// The CRC-32C of the request's content, over these pieces with nothing
// between them: the branch id (16 bytes), the stream name, the expected
// revision's debug text ("Any", "NoStream", "Exact(StreamRevision(7))"), then
// per event its id (16 zero bytes when absent), event type, schema version
// (u32 little-endian), each caller metadata key and value in key order, and
// payload. The idempotency key and the durability asked for are not part of
// it.
uint32_t RequestDigest(const stream::AppendRequest& request);

// The id a stream gets when it first appears on a branch: util::DualHash of
// the database id, the branch id and the name's bytes. The same triple always
// gives the same id.
format::StreamId NewStreamId(const format::DatabaseId& database_id,
                             const format::BranchId& branch_id, std::string_view name);

}  // namespace corvantine::db
