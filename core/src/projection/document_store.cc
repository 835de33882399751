#include "projection/document_store.h"

namespace corvantine::projection {

void DocumentStore::Put(std::string_view key, std::string_view body,
                        std::optional<format::StreamId> owner,
                        std::span<const std::optional<std::string>> index_texts) {
  auto row = rows_.lower_bound(key);
  if (row == rows_.end() || row->first != key) {
    row = rows_.emplace_hint(row, std::string(key), Document{});
    if (!indexes_.empty()) {
      row->second.entries = std::make_unique<const IndexEntry*[]>(indexes_.size());
    }
  }
  Document& document = row->second;
  Unindex(document);
  document.body.assign(body);
  document.owner = owner;
  Index(*row, index_texts);
}

void DocumentStore::Clear() {
  for (IndexSet& index : indexes_) index.clear();
  rows_.clear();
}

void DocumentStore::Unindex(Document& document) {
  for (size_t i = 0; i < indexes_.size(); ++i) {
    if (document.entries[i] == nullptr) continue;
    indexes_[i].erase(indexes_[i].find(*document.entries[i]));
    document.entries[i] = nullptr;
  }
}

void DocumentStore::Index(Row& row, std::span<const std::optional<std::string>> index_texts) {
  for (size_t i = 0; i < indexes_.size(); ++i) {
    if (!index_texts[i]) continue;
    const auto entry = indexes_[i].insert(IndexEntry{*index_texts[i], &row}).first;
    row.second.entries[i] = &*entry;
  }
}

std::vector<std::string> DocumentStore::Get(std::string_view key) const {
  const auto row = rows_.find(key);
  if (row == rows_.end()) return {};
  return {row->second.body};
}

std::vector<std::string> DocumentStore::Range(std::string_view start, std::string_view end) const {
  std::vector<std::string> bodies;
  if (!(start < end)) return bodies;
  const auto last = rows_.lower_bound(end);
  for (auto row = rows_.lower_bound(start); row != last; ++row) bodies.push_back(row->second.body);
  return bodies;
}

std::vector<std::string> DocumentStore::Prefix(std::string_view prefix) const {
  std::vector<std::string> bodies;
  for (auto row = rows_.lower_bound(prefix);
       row != rows_.end() && std::string_view(row->first).starts_with(prefix); ++row) {
    bodies.push_back(row->second.body);
  }
  return bodies;
}

std::vector<std::string> DocumentStore::IndexEquals(size_t index, std::string_view text) const {
  std::vector<std::string> bodies;
  const IndexSet& entries = indexes_[index];
  for (auto entry = entries.lower_bound(Probe{text, {}});
       entry != entries.end() && entry->text == text; ++entry) {
    bodies.push_back(entry->row->second.body);
  }
  return bodies;
}

void DocumentStore::ForEach(
    const std::function<void(const std::string& key, const Document&)>& visit) const {
  for (const auto& [key, document] : rows_) visit(key, document);
}

}  // namespace corvantine::projection
