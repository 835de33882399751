// The documents of a JSON index: body bytes by key, each with the stream
// that last wrote it, plus one ordered set per named index of (text, key)
// entries, so that no query parses a body. Keys and texts order by bytes.
// Moving a store keeps every document where it is: the index entries point
// at the documents' map nodes.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/ids.h"

namespace corvantine::projection {

class DocumentStore {
 public:
  struct Document;
  using Row = std::pair<const std::string, Document>;

  // One document in one named index.
  struct IndexEntry {
    std::string text;
    const Row* row;
  };

  struct Document {
    std::string body;                       // the stored event body, as it was
    std::optional<format::StreamId> owner;  // none: restored without one
    // Per named index, the document's entry; null where it has none.
    std::unique_ptr<const IndexEntry*[]> entries;
  };

  explicit DocumentStore(size_t index_count) : indexes_(index_count) {}

  size_t size() const { return rows_.size(); }

  // Stores `body` under `key`, replacing a document there, with its owner
  // and its text per named index (index_texts.size() == index count).
  void Put(std::string_view key, std::string_view body, std::optional<format::StreamId> owner,
           std::span<const std::optional<std::string>> index_texts);
  void Clear();

  // The queries: bodies in ascending key order.
  std::vector<std::string> Get(std::string_view key) const;
  // No rows unless start < end.
  std::vector<std::string> Range(std::string_view start, std::string_view end) const;
  std::vector<std::string> Prefix(std::string_view prefix) const;
  // The documents whose text in named index `index` equals `text`.
  std::vector<std::string> IndexEquals(size_t index, std::string_view text) const;

  // Every document in ascending key order.
  void ForEach(const std::function<void(const std::string& key, const Document&)>& visit) const;

 private:
  // Orders entries by text, then key; a Probe finds the first of a text.
  struct Probe {
    std::string_view text;
    std::string_view key;
  };
  struct EntryOrder {
    using is_transparent = void;
    static Probe Of(const IndexEntry& entry) { return {entry.text, entry.row->first}; }
    static Probe Of(const Probe& probe) { return probe; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      const Probe x = Of(a), y = Of(b);
      return x.text < y.text || (x.text == y.text && x.key < y.key);
    }
  };
  using IndexSet = std::set<IndexEntry, EntryOrder>;
  using Rows = std::map<std::string, Document, std::less<>>;

  void Unindex(Document& document);
  void Index(Row& row, std::span<const std::optional<std::string>> index_texts);

  Rows rows_;
  std::vector<IndexSet> indexes_;  // one per named index, in name order
};

}  // namespace corvantine::projection
