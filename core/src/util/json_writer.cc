#include "util/json_writer.h"

#include <cassert>
#include <charconv>
#include <cmath>
#include <iterator>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace corvantine::util::json {

Writer::Writer(std::string* out, Style style) : out_(out), style_(style) {}

void Writer::BeginObject() {
  BeforeValue();
  Open('{', true);
}

void Writer::Key(std::string_view name) {
  assert(!levels_.empty() && levels_.back().object);
  Separate();
  AppendString(name, out_);
  out_->append(style_ == Style::kPretty ? ": " : ":");
}

void Writer::EndObject() { Close('}'); }

void Writer::BeginArray() {
  BeforeValue();
  Open('[', false);
}

void Writer::EndArray() { Close(']'); }

void Writer::Null() {
  BeforeValue();
  out_->append("null");
}

void Writer::Bool(bool value) {
  BeforeValue();
  out_->append(value ? "true" : "false");
}

void Writer::Uint(uint64_t value) {
  BeforeValue();
  fmt::format_to(std::back_inserter(*out_), "{}", value);
}

void Writer::Int(int64_t value) {
  BeforeValue();
  fmt::format_to(std::back_inserter(*out_), "{}", value);
}

void Writer::Double(double value) {
  BeforeValue();
  AppendDouble(value, out_);
}

void Writer::String(std::string_view utf8) {
  BeforeValue();
  AppendString(utf8, out_);
}

void Writer::Bytes(std::span<const uint8_t> bytes) {
  BeginArray();
  for (const uint8_t byte : bytes) Uint(byte);
  EndArray();
}

void Writer::Bytes(std::string_view bytes) {
  Bytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

void Writer::Value(const nlohmann::json& value) {
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::null:
    case Type::discarded: Null(); return;
    case Type::boolean: Bool(value.get<bool>()); return;
    case Type::number_integer: Int(value.get<int64_t>()); return;
    case Type::number_unsigned: Uint(value.get<uint64_t>()); return;
    case Type::number_float: Double(value.get<double>()); return;
    case Type::string: String(value.get_ref<const std::string&>()); return;
    case Type::array:
      BeginArray();
      for (const nlohmann::json& element : value) Value(element);
      EndArray();
      return;
    case Type::object:
      BeginObject();
      for (auto member = value.begin(); member != value.end(); ++member) {
        Key(member.key());
        Value(member.value());
      }
      EndObject();
      return;
    case Type::binary:  // bytes are written as an array of numbers
      BeginArray();
      for (const uint8_t byte : value.get_binary()) Uint(byte);
      EndArray();
      return;
  }
}

// An object member's separator came with its key; an array element needs one.
void Writer::BeforeValue() {
  if (!levels_.empty() && !levels_.back().object) Separate();
}

void Writer::Separate() {
  Level& level = levels_.back();
  if (style_ == Style::kPretty) {
    out_->append(level.empty ? "\n" : ",\n");
    out_->append(2 * levels_.size(), ' ');
  } else if (!level.empty) {
    out_->push_back(',');
  }
  level.empty = false;
}

void Writer::Open(char bracket, bool object) {
  out_->push_back(bracket);
  levels_.push_back(Level{object, true});
}

void Writer::Close(char bracket) {
  const bool empty = levels_.back().empty;
  levels_.pop_back();
  if (style_ == Style::kPretty && !empty) {
    out_->push_back('\n');
    out_->append(2 * levels_.size(), ' ');
  }
  out_->push_back(bracket);
}

void AppendString(std::string_view utf8, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  size_t plain_from = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out->append(utf8.substr(plain_from, i - plain_from));
    plain_from = i + 1;
    switch (byte) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\b': out->append("\\b"); break;
      case '\f': out->append("\\f"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      default:
        out->append("\\u00");
        out->push_back(kHex[byte >> 4]);
        out->push_back(kHex[byte & 0xF]);
    }
  }
  out->append(utf8.substr(plain_from));
  out->push_back('"');
}

void AppendDouble(double value, std::string* out) {
  if (!std::isfinite(value)) {
    out->append("null");
    return;
  }
  // The shortest digits, as "[-]d[.ddd]e±x".
  char buffer[32];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, end - buffer);
  if (text.front() == '-') {
    out->push_back('-');
    text.remove_prefix(1);
  }
  const size_t e = text.find('e');
  char digit_buffer[24];
  size_t n = 0;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digit_buffer[n++] = c;
  }
  const std::string_view digits(digit_buffer, n);
  std::string_view exponent_text = text.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  // The value is 0.digits times 10^point.
  const int length = static_cast<int>(n);
  const int point = exponent + 1;
  if (point >= length && point <= 16) {  // 1234e7 -> 12340000000.0
    out->append(digits);
    out->append(point - length, '0');
    out->append(".0");
  } else if (point > 0 && point <= 16) {  // 1234e-2 -> 12.34
    out->append(digits.substr(0, point));
    out->push_back('.');
    out->append(digits.substr(point));
  } else if (point > -5 && point <= 0) {  // 1234e-6 -> 0.001234
    out->append("0.");
    out->append(-point, '0');
    out->append(digits);
  } else if (length == 1) {  // 1e30
    fmt::format_to(std::back_inserter(*out), "{}e{}", digits, point - 1);
  } else {  // 1234e30 -> 1.234e33
    fmt::format_to(std::back_inserter(*out), "{}.{}e{}", digits[0], digits.substr(1), point - 1);
  }
}

}  // namespace corvantine::util::json
