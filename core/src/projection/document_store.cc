#include "projection/document_store.h"

#include <algorithm>

namespace corvantine::projection {

void DocumentStore::Put(std::string_view key, std::string_view body,
                        std::optional<format::StreamId> owner, uint64_t position,
                        std::span<const std::optional<std::string>> index_texts) {
  // Restores and key-ordered writes come past the last key: no search.
  const bool last = rows_.empty() || std::string_view(rows_.rbegin()->first) < key;
  auto row = last ? rows_.end() : rows_.lower_bound(key);
  if (row == rows_.end() || row->first != key) {
    row = rows_.emplace_hint(row, std::string(key), Document{});
    if (!indexes_.empty()) row->second.entries = std::make_unique<IndexEntry*[]>(indexes_.size());
  } else if (row->second.position > position) {
    return;
  }
  row->second.position = position;
  RemoveFromIndexes(*row);
  row->second.body.assign(body);
  row->second.owner = owner;
  AddToIndexes(*row, index_texts);
}

void DocumentStore::Clear() {
  for (auto& index : indexes_) index.clear();
  rows_.clear();
}

void DocumentStore::Reindex(const std::function<std::span<const std::optional<std::string>>(
                                std::string_view body)>& texts_of) {
  if (indexes_.empty()) return;
  for (Row& row : rows_) {
    RemoveFromIndexes(row);
    AddToIndexes(row, texts_of(row.second.body));
  }
}

// A text no document has any more leaves its index.
void DocumentStore::RemoveFromIndexes(Row& row) {
  for (size_t i = 0; i < indexes_.size(); ++i) {
    IndexEntry*& entry = row.second.entries[i];
    if (entry == nullptr) continue;
    entry->second.erase(&row);
    if (entry->second.empty()) indexes_[i].erase(indexes_[i].find(entry->first));
    entry = nullptr;
  }
}

void DocumentStore::AddToIndexes(Row& row,
                                 std::span<const std::optional<std::string>> index_texts) {
  for (size_t i = 0; i < indexes_.size(); ++i) {
    if (!index_texts[i]) continue;
    IndexEntry& entry = *indexes_[i].try_emplace(*index_texts[i]).first;
    entry.second.insert(&row);
    row.second.entries[i] = &entry;
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
  const auto entry = indexes_[index].find(text);
  if (entry == indexes_[index].end()) return {};
  std::vector<const Row*> rows(entry->second.begin(), entry->second.end());
  std::sort(rows.begin(), rows.end(),
            [](const Row* a, const Row* b) { return a->first < b->first; });
  std::vector<std::string> bodies;
  bodies.reserve(rows.size());
  for (const Row* row : rows) bodies.push_back(row->second.body);
  return bodies;
}

void DocumentStore::ForEach(
    const std::function<void(const std::string& key, const Document&)>& visit) const {
  for (const auto& [key, document] : rows_) visit(key, document);
}

}  // namespace corvantine::projection
