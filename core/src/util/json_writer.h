// Writing JSON text, compact (no blanks) or pretty (two-blank indent,
// "key": value, [] and {} for empty containers). Strings escape only the
// quote, the backslash and control characters (\b \f \n \r \t, others as
// \u00xx); everything else, non-ASCII included, is written as it is. Floats
// take their shortest form that reads back to the same double, laid out as
// 1.0, 0.1, 1e16, 1.5e300, 0.00001, 1e-6; a non-finite float prints as null.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace corvantine::util::json {

// Streams one JSON value into a string, in the order the calls come: the
// engine's documents keep their fields in declared order. Inside an object
// every value is preceded by Key(). The calls must form one value.
class Writer {
 public:
  enum class Style { kCompact, kPretty };

  // Appends to *out, which must outlive the writer.
  explicit Writer(std::string* out, Style style = Style::kCompact);

  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void BeginObject();
  void Key(std::string_view name);
  void EndObject();
  void BeginArray();
  void EndArray();

  void Null();
  void Bool(bool value);
  void Uint(uint64_t value);
  void Int(int64_t value);
  void Double(double value);
  void String(std::string_view utf8);
  // An array of one decimal number per byte: how the engine's documents
  // write ids and byte strings.
  void Bytes(std::span<const uint8_t> bytes);
  void Bytes(std::string_view bytes);
  // A nlohmann value; its objects list their keys in ascending byte order.
  void Value(const nlohmann::json& value);

 private:
  struct Level {
    bool object;
    bool empty;
  };

  void BeforeValue();
  void Separate();  // the separator and indent before an element or a key
  void Open(char bracket, bool object);
  void Close(char bracket);

  std::string* out_;
  Style style_;
  std::vector<Level> levels_;  // the open containers, innermost last
};

// Appends `value` quoted and escaped.
void AppendString(std::string_view utf8, std::string* out);

// Appends the shortest round-trip form of `value`.
void AppendDouble(double value, std::string* out);

}  // namespace corvantine::util::json
