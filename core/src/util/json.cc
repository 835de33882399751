#include "util/json.h"

#include <algorithm>

namespace corvantine::util::json {
namespace {

enum class NumberKind { kNonNegative, kNegative, kFloat };

NumberKind KindOf(const nlohmann::json& number) {
  if (number.is_number_float()) return NumberKind::kFloat;
  if (number.is_number_unsigned() || number.get<int64_t>() >= 0) return NumberKind::kNonNegative;
  return NumberKind::kNegative;
}

bool NumbersEqual(const nlohmann::json& a, const nlohmann::json& b) {
  const NumberKind kind = KindOf(a);
  if (kind != KindOf(b)) return false;
  switch (kind) {
    case NumberKind::kNonNegative: return a.get<uint64_t>() == b.get<uint64_t>();
    case NumberKind::kNegative: return a.get<int64_t>() == b.get<int64_t>();
    case NumberKind::kFloat: break;
  }
  return a.get<double>() == b.get<double>();
}

}  // namespace

Result<> Validate(std::string_view text) {
  Reader reader(text);
  CVN_TRY(reader.SkipValue());
  return reader.Finish();
}

Result<nlohmann::json> Parse(std::string_view text) {
  Reader reader(text);
  CVN_ASSIGN_OR_RETURN(nlohmann::json value, reader.ReadValue());
  CVN_TRY(reader.Finish());
  return value;
}

void WriteCompact(const nlohmann::json& value, std::string* out) {
  Writer(out, Writer::Style::kCompact).Value(value);
}

void WritePretty(const nlohmann::json& value, std::string* out) {
  Writer(out, Writer::Style::kPretty).Value(value);
}

bool KindEqual(const nlohmann::json& a, const nlohmann::json& b) {
  if (a.is_number() && b.is_number()) return NumbersEqual(a, b);
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), KindEqual);
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
      if (x.key() != y.key() || !KindEqual(x.value(), y.value())) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace corvantine::util::json
