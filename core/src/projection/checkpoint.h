// The two checkpoint formats of a JSON index, compact JSON objects with one
// member per document in ascending key order, bytes as decimal numbers:
//
//   whole       {"<key>":[<body bytes>],...}
//   partition   {"<key>":[[<16 bytes of the owner stream id>],[<body bytes>]],...}
//
// e.g. {"a":[123,125]}. Both are written and read as a stream: a state of
// many megabytes never becomes a parsed JSON value.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "format/ids.h"
#include "util/json_reader.h"

namespace corvantine::projection {

class CheckpointWriter {
 public:
  // Appends to *out, which must outlive the writer; members must come in
  // ascending key order.
  explicit CheckpointWriter(std::string* out);

  void AddWhole(std::string_view key, std::string_view body);
  void AddPartition(std::string_view key, const format::StreamId& owner, std::string_view body);
  // Closes the object; nothing may be added after.
  void Finish();

 private:
  void AddKey(std::string_view key);

  std::string* out_;
  bool first_ = true;
};

// Read a checkpoint, handing `visit` each member in the order written (a key
// given twice comes twice). Whitespace may surround the tokens; nothing may
// follow the object. Fails with the reader's message. The body handed to
// `visit` lives until it returns: one buffer serves every member.
util::json::Result<> ReadWholeCheckpoint(
    std::string_view state,
    const std::function<void(std::string_view key, std::string_view body)>& visit);
util::json::Result<> ReadPartitionCheckpoint(
    std::string_view state,
    const std::function<void(std::string_view key, const format::StreamId& owner,
                             std::string_view body)>& visit);

}  // namespace corvantine::projection
