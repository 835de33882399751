#include "projection/json_index.h"

#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "projection/checkpoint.h"

namespace corvantine::projection {

namespace {

ProjectionFailure DecodeFailure(util::json::Error error) {
  return {"checkpoint_decode", std::move(error.message)};
}

// A snapshot at cursor c holds writes made before c.
uint64_t RestoredPosition(uint64_t cursor) { return cursor == 0 ? 0 : cursor - 1; }

template <typename... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
template <typename... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

}  // namespace

JsonIndexRuntime::JsonIndexRuntime(const QueryDefinition& definition)
    : scanner_(definition), store_(scanner_.index_count()) {}

ProjectionResult<> JsonIndexRuntime::Reset() {
  store_.Clear();
  return {};
}

ProjectionResult<> JsonIndexRuntime::Apply(const RecordView& record) {
  if (!record.json) return {};
  util::json::Result<> scanned = scanner_.Scan(record.body, &scan_);
  if (!scanned.ok()) return ProjectionFailure{"invalid_json", std::move(scanned).error().message};
  if (scanner_.has_filter()) {
    if (scanner_.filter_error()) {
      return ProjectionFailure{"invalid_filter", *scanner_.filter_error()};
    }
    if (!scan_.filter_matched) return {};
  }
  if (!scan_.key) return {};
  store_.Put(*scan_.key, record.body, record.stream_id, record.position, scan_.index_texts);
  return {};
}

ProjectionResult<QueryResult> JsonIndexRuntime::Query(const QueryOperation& operation) const {
  if (const auto* by = std::get_if<ByQuery>(&operation); by && !scanner_.IndexPosition(by->index)) {
    return ProjectionFailure{"index_not_found", by->index};
  }
  return QueryResult{Select(operation), store_.size()};
}

std::vector<std::string> JsonIndexRuntime::Select(const QueryOperation& operation) const {
  return std::visit(
      Overloaded{
          [&](const GetQuery& get) { return store_.Get(get.key); },
          [&](const ByQuery& by) {
            return store_.IndexEquals(*scanner_.IndexPosition(by.index), by.value);
          },
          [&](const RangeQuery& range) { return store_.Range(range.start, range.end); },
          [&](const PrefixQuery& prefix) { return store_.Prefix(prefix.prefix); },
          [](const LenQuery&) { return std::vector<std::string>(); },
      },
      operation);
}

ProjectionResult<std::string> JsonIndexRuntime::Checkpoint() const {
  std::string state;
  state.reserve(128);
  CheckpointWriter writer(&state);
  store_.ForEach([&writer](const std::string& key, const DocumentStore::Document& document) {
    writer.AddWhole(key, document.body);
  });
  writer.Finish();
  return state;
}

ProjectionResult<> JsonIndexRuntime::RestoreCheckpoint(std::string_view state, uint64_t cursor) {
  DocumentStore restored(scanner_.index_count());
  util::json::Result<> read =
      ReadWholeCheckpoint(state, [&](std::string_view key, std::string body) {
        Restore(restored, key, body, std::nullopt, RestoredPosition(cursor));
      });
  if (!read.ok()) return DecodeFailure(std::move(read).error());
  store_ = std::move(restored);
  return {};
}

ProjectionResult<std::string> JsonIndexRuntime::CheckpointPartition(uint32_t partition,
                                                                    uint32_t count) const {
  if (count == 0) {
    return ProjectionFailure{"invalid_partition", "partition count must be at least 1"};
  }
  const bool every_document = partition == 0 && count == 1;
  std::string state;
  state.reserve(128);
  CheckpointWriter writer(&state);
  store_.ForEach([&](const std::string& key, const DocumentStore::Document& document) {
    const bool member =
        document.owner ? StreamPartition(*document.owner, count) == partition : every_document;
    if (member) {
      writer.AddPartition(key, document.owner.value_or(format::StreamId()), document.body);
    }
  });
  writer.Finish();
  return state;
}

// Neither the partition nor the count is checked against the content: every
// document the state holds is restored.
ProjectionResult<> JsonIndexRuntime::RestorePartition(uint32_t, uint32_t, std::string_view state,
                                                      uint64_t cursor) {
  std::vector<std::tuple<std::string, format::StreamId, std::string>> staged;
  util::json::Result<> read = ReadPartitionCheckpoint(
      state, [&](std::string_view key, const format::StreamId& owner, std::string body) {
        staged.emplace_back(key, owner, std::move(body));
      });
  if (!read.ok()) return DecodeFailure(std::move(read).error());
  for (const auto& [key, owner, body] : staged) {
    Restore(store_, key, body, owner, RestoredPosition(cursor));
  }
  return {};
}

// A restored body may be anything: one that does not parse is in no index.
void JsonIndexRuntime::Restore(DocumentStore& store, std::string_view key, std::string_view body,
                               std::optional<format::StreamId> owner, uint64_t position) {
  if (!scanner_.Scan(body, &scan_).ok()) {
    scan_.index_texts.assign(scanner_.index_count(), std::nullopt);
  }
  store.Put(key, body, owner, position, scan_.index_texts);
}

}  // namespace corvantine::projection
