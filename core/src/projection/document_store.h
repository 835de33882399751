// The documents of a JSON index: body bytes by key, each with the stream
// that last wrote it, plus one hash per named index from a text to the
// documents that have it, so that no query parses a body. Keys order by
// bytes. Moving a store keeps every document where it is: the indexes point
// at the documents' map nodes, and the documents at their index entries.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "format/ids.h"

namespace corvantine::projection {

class DocumentStore {
 public:
  struct Document;
  using Row = std::pair<const std::string, Document>;
  // A text of one named index and the documents that have it, in no order.
  using IndexEntry = std::pair<const std::string, std::unordered_set<const Row*>>;

  struct Document {
    std::string body;                       // the stored event body, as it was
    std::optional<format::StreamId> owner;  // none: restored without one
    uint64_t position = 0;                  // of the write that stored it
    // Per named index, the entry of the document's text; null where it has
    // none.
    std::unique_ptr<IndexEntry*[]> entries;
  };

  explicit DocumentStore(size_t index_count) : indexes_(index_count) {}

  size_t size() const { return rows_.size(); }

  // Stores `body` under `key`, replacing a document there unless that one
  // was written at a later position, with its owner and its text per named
  // index (index_texts.size() == index count).
  void Put(std::string_view key, std::string_view body, std::optional<format::StreamId> owner,
           uint64_t position, std::span<const std::optional<std::string>> index_texts);
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
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };
  // One named index, whose value_type is IndexEntry. A hash, not a tree:
  // an insertion into a tree of a million entries visits some twenty nodes
  // scattered over memory.
  using TextIndex =
      std::unordered_map<std::string, std::unordered_set<const Row*>, TextHash, std::equal_to<>>;
  using Rows = std::map<std::string, Document, std::less<>>;

  void RemoveFromIndexes(Row& row);
  void AddToIndexes(Row& row, std::span<const std::optional<std::string>> index_texts);

  Rows rows_;
  std::vector<TextIndex> indexes_;  // one per named index, in name order
};

}  // namespace corvantine::projection
