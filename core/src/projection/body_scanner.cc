#include "projection/body_scanner.h"

#include "util/json.h"

namespace corvantine::projection {

namespace json = util::json;

BodyScanner::BodyScanner(const QueryDefinition& definition)
    : has_filter_(definition.filter.has_value()) {
  roles_[definition.key_field].key = true;
  for (const auto& [name, field] : definition.indexes) {
    const size_t position = index_positions_.size();
    index_positions_.emplace(name, position);
    roles_[field].indexes.push_back(position);
  }
  if (!definition.filter) return;
  roles_[definition.filter->field].filter = true;
  json::Result<nlohmann::json> value = json::Parse(definition.filter->value);
  if (value.ok()) {
    filter_value_ = std::move(value).value();
  } else {
    filter_error_ = std::move(value).error().message;
  }
}

std::optional<size_t> BodyScanner::IndexPosition(std::string_view name) const {
  const auto found = index_positions_.find(name);
  if (found == index_positions_.end()) return std::nullopt;
  return found->second;
}

json::Result<> BodyScanner::Scan(std::string_view body, BodyScan* scan) const {
  scan->key.reset();
  scan->filter_matched = false;
  scan->index_texts.assign(index_count(), std::nullopt);
  json::Reader reader(body);
  CVN_ASSIGN_OR_RETURN(const json::Reader::Kind kind, reader.PeekKind());
  if (kind == json::Reader::Kind::kObject) {
    CVN_TRY(ScanMembers(reader, scan));
  } else {
    CVN_TRY(reader.SkipValue());
  }
  return reader.Finish();
}

json::Result<> BodyScanner::ScanMembers(json::Reader& reader, BodyScan* scan) const {
  CVN_TRY(reader.BeginObject());
  for (;;) {
    std::string_view name;
    CVN_ASSIGN_OR_RETURN(const bool more, reader.NextKey(&name));
    if (!more) return {};
    const auto role = roles_.find(name);  // before the view expires
    CVN_TRY(reader.ReadColon());
    if (role == roles_.end()) {
      CVN_TRY(reader.SkipValue());
    } else {
      CVN_TRY(ReadMember(reader, role->second, scan));
    }
  }
}

// Every occurrence of a member sets all it stands for, so the last one wins.
json::Result<> BodyScanner::ReadMember(json::Reader& reader, const Role& role,
                                       BodyScan* scan) const {
  CVN_ASSIGN_OR_RETURN(const json::Reader::Kind kind, reader.PeekKind());
  if (kind == json::Reader::Kind::kString) {
    std::string_view text;
    CVN_TRY(reader.ReadStringView(&text));
    if (role.key) scan->key.emplace(text);
    if (role.filter) scan->filter_matched = FilterMatchesString(text);
    for (const size_t index : role.indexes) scan->index_texts[index].emplace(text);
    return {};
  }
  CVN_ASSIGN_OR_RETURN(const nlohmann::json value, reader.ReadValue());
  if (role.key) scan->key.reset();
  if (role.filter) scan->filter_matched = filter_value_ && json::KindEqual(*filter_value_, value);
  if (role.indexes.empty()) return {};
  std::string compact;
  json::WriteCompact(value, &compact);
  for (const size_t index : role.indexes) scan->index_texts[index] = compact;
  return {};
}

bool BodyScanner::FilterMatchesString(std::string_view text) const {
  return filter_value_ && filter_value_->is_string() &&
         filter_value_->get_ref<const std::string&>() == text;
}

}  // namespace corvantine::projection
