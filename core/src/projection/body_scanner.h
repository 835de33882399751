// Reading a JSON body once for everything a JSON index wants of it: whether
// it is valid JSON and an object, its key, whether it passes the filter and
// its text under each named index. Bodies are read with the rules of
// util::json::Parse; of a member given twice the last counts, as in a
// parsed value.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "projection/descriptor.h"
#include "util/json_reader.h"

namespace corvantine::projection {

// What a scan found; members the body lacks, or a body that is not an
// object, leave the fields empty.
struct BodyScan {
  std::optional<std::string> key;  // the key member, when it is a string
  bool filter_matched = false;     // the filter member equals the filter value
  // Per named index, in name order: the member's content when it is a
  // string, else its compact JSON (object keys in ascending order).
  std::vector<std::optional<std::string>> index_texts;
};

class BodyScanner {
 public:
  // Parses the filter value once; a value that is not JSON text is not an
  // error until a JSON body is applied (filter_error()).
  explicit BodyScanner(const QueryDefinition& definition);

  bool has_filter() const { return has_filter_; }
  // The parser's message when the filter value is not JSON text.
  const std::optional<std::string>& filter_error() const { return filter_error_; }
  size_t index_count() const { return index_positions_.size(); }
  // The position of named index `name` in BodyScan::index_texts, if it is
  // one of the definition's.
  std::optional<size_t> IndexPosition(std::string_view name) const;

  // Scans `body` into *scan, reusing its storage. Fails with the parser's
  // error when the body is not one JSON value.
  util::json::Result<> Scan(std::string_view body, BodyScan* scan) const;

 private:
  // What a top-level member name means to the index.
  struct Role {
    bool key = false;
    bool filter = false;
    std::vector<size_t> indexes;  // positions in index_texts
  };

  util::json::Result<> ScanMembers(util::json::Reader& reader, BodyScan* scan) const;
  util::json::Result<> ReadMember(util::json::Reader& reader, const Role& role,
                                  BodyScan* scan) const;
  bool FilterMatchesString(std::string_view text) const;

  std::map<std::string, size_t, std::less<>> index_positions_;  // in name order
  std::map<std::string, Role, std::less<>> roles_;
  bool has_filter_ = false;
  std::optional<nlohmann::json> filter_value_;
  std::optional<std::string> filter_error_;
};

}  // namespace corvantine::projection
