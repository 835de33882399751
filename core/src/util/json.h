// Whole JSON values: checking, parsing, printing and comparing them. Reading
// rules and messages are those of json::Reader
// (util/json_reader.h); printing is json::Writer's (util/json_writer.h).
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "util/json_reader.h"
#include "util/json_writer.h"

namespace corvantine::util::json {

// Whether `text` is exactly one JSON value with only whitespace around it.
// Builds nothing and allocates nothing unless it fails.
Result<> Validate(std::string_view text);

// Parses `text` as one JSON value. A non-negative integer that fits u64 is
// number_unsigned, a negative one that fits i64 number_integer, any other
// number a float. Of duplicate keys the last wins.
Result<nlohmann::json> Parse(std::string_view text);

// Appends the compact or pretty text of `value`;
// object keys come in ascending byte order.
void WriteCompact(const nlohmann::json& value, std::string* out);
void WritePretty(const nlohmann::json& value, std::string* out);

// Equality that keeps number kinds apart:
// non-negative integers, negative integers and floats never equal one
// another (1 != 1.0, while 1 == 1u). Arrays and objects compare by element.
bool KindEqual(const nlohmann::json& a, const nlohmann::json& b);

}  // namespace corvantine::util::json
