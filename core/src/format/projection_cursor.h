// How far a projection, or one partition of it, has applied the log. The
// projection's status, the snapshot manifest and the engine all hold this
// one record, so it lives below all of them.
#pragma once

#include <cstdint>
#include <string>

#include "format/ids.h"
#include "util/json_reader.h"
#include "util/json_writer.h"

namespace corvantine::format {

// A 16-byte fingerprint of a projection descriptor or of a branch lineage
// (projection/fingerprint.h).
using Fingerprint = IdBytes;

struct ProjectionCursor {
  DatabaseId database_id;
  BranchId branch_id;
  uint64_t position = 0;  // the next log position to apply
  // Of the descriptor the state was built for: state of another fingerprint
  // is never reused.
  Fingerprint descriptor_fingerprint{};

  // "ProjectionCursor { database_id: [0, ...], branch_id: [0, ...],
  // position: 7, descriptor_fingerprint: [72, ...] }"
  std::string DebugString() const;
  friend bool operator==(const ProjectionCursor&, const ProjectionCursor&) = default;
};

// An object with the keys database_id, branch_id, position and
// descriptor_fingerprint, ids as arrays of 16 numbers.
void WriteJson(util::json::Writer& writer, const ProjectionCursor& value);
// For util::json::Into(&cursor) in a Field table.
util::json::Result<> ReadInto(util::json::Reader& reader, ProjectionCursor* out);

}  // namespace corvantine::format
