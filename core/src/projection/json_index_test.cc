#include "projection/json_index.h"

#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "util/json.h"

namespace corvantine::projection {
namespace {

format::StreamId StreamOf(uint8_t n) { return format::StreamId(format::IdBytes{n}); }

RecordView Json(const std::string& body, uint8_t stream = 1, uint64_t position = 0) {
  return RecordView{StreamOf(stream), true, body, position};
}

QueryDefinition Definition(std::optional<QueryFilter> filter = std::nullopt) {
  return QueryDefinition{"id", {{"by_n", "n"}, {"by_state", "state"}}, std::move(filter)};
}

// "ok", or the failure as the engine shows it.
template <typename T>
std::string Outcome(const ProjectionResult<T>& result) {
  return result.ok() ? "ok" : result.error().code + ": " + result.error().message;
}

std::vector<std::string> All(const ProjectionRuntime& runtime) {
  return runtime.Query(PrefixQuery{""}).value().rows;
}

TEST(JsonIndexTest, ApplyStoresObjectsUnderAStringKey) {
  const std::optional<QueryFilter> kind_one = QueryFilter{"kind", "1"};
  const struct {
    const char* what;
    std::optional<QueryFilter> filter;
    std::vector<std::string> bodies;
    std::vector<std::string> stored;  // every document afterwards, in key order
    std::string last_outcome = "ok";
  } cases[] = {
      {"not objects", {}, {"[1]", "7", "\"id\"", "null"}, {}},
      {"no key member", {}, {R"({"ID":"a"})"}, {}},
      {"number key", {}, {R"({"id":7})"}, {}},
      {"string keys, the empty one too",
       {},
       {R"({"id":"7"})", R"({"id":""})"},
       {R"({"id":""})", R"({"id":"7"})"}},
      {"later write wins, bytes as stored",
       {},
       {R"({"id":"a","v":1})", R"( {"id" : "a","v":2} )"},
       {R"( {"id" : "a","v":2} )"}},
      {"last of a repeated key member", {}, {R"({"id":"a","id":"b"})"}, {R"({"id":"a","id":"b"})"}},
      {"repeated key member ending in a number", {}, {R"({"id":"a","id":7})"}, {}},
      {"body that does not parse",
       {},
       {R"({"id":"a"})", R"({"id":"b")"},
       {R"({"id":"a"})"},
       "invalid_json: EOF while parsing an object at line 1 column 9"},
      {"filter keeps number kinds apart",
       kind_one,
       {R"({"id":"a","kind":1})", R"({"id":"b","kind":1.0})", R"({"id":"c","kind":-1})",
        R"({"id":"d"})", R"({"id":"e","kind":"1"})", "[1]"},
       {R"({"id":"a","kind":1})"}},
      {"string filter",
       QueryFilter{"kind", "\"open\""},
       {R"({"id":"a","kind":"open"})", R"({"id":"b","kind":["open"]})"},
       {R"({"id":"a","kind":"open"})"}},
      {"filter on the key member",
       QueryFilter{"id", "\"b\""},
       {R"({"id":"a"})", R"({"id":"b"})"},
       {R"({"id":"b"})"}},
      {"filter value that is not JSON",
       QueryFilter{"kind", "nope"},
       {"[1]"},
       {},
       "invalid_filter: expected ident at line 1 column 2"},
      {"body checked before the filter",
       QueryFilter{"kind", "nope"},
       {"{"},
       {},
       "invalid_json: EOF while parsing an object at line 1 column 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    JsonIndexRuntime runtime(Definition(c.filter));
    std::string outcome = "ok";
    for (const std::string& body : c.bodies) outcome = Outcome(runtime.Apply(Json(body)));
    EXPECT_EQ(outcome, c.last_outcome);
    EXPECT_EQ(All(runtime), c.stored);
    EXPECT_EQ(Outcome(runtime.Apply(RecordView{StreamOf(1), false, "{"})), "ok");  // raw bytes
  }
}

TEST(JsonIndexTest, Queries) {
  JsonIndexRuntime runtime(Definition());
  const std::vector<std::string> bodies = {
      R"({"id":"a","state":true})",
      R"({"id":"b","state":"true"})",
      R"({"id":"c","n":1})",
      R"({"id":"d","n":1.0})",
      R"({"id":"e","n":{"y":1,"x":[2,"z"]}})",
      R"({"id":"f","n":1e2})",
      R"({"id":"fa","state":"\u00e9"})",
  };
  for (const std::string& body : bodies) ASSERT_EQ(Outcome(runtime.Apply(Json(body))), "ok");
  const struct {
    QueryOperation operation;
    std::vector<int> rows;  // indexes into `bodies`, or {-1} for a failure
  } cases[] = {
      {GetQuery{"c"}, {2}},
      {GetQuery{"zz"}, {}},
      {ByQuery{"by_state", "true"}, {0, 1}},
      {ByQuery{"by_state", "\xc3\xa9"}, {6}},
      {ByQuery{"by_n", "1"}, {2}},
      {ByQuery{"by_n", "1.0"}, {3}},
      {ByQuery{"by_n", "100.0"}, {5}},
      {ByQuery{"by_n", R"({"x":[2,"z"],"y":1})"}, {4}},
      {ByQuery{"by_n", "2"}, {}},
      {RangeQuery{"b", "d"}, {1, 2}},
      {RangeQuery{"c", "c"}, {}},
      {RangeQuery{"f", "a"}, {}},
      {RangeQuery{"", "\xff"}, {0, 1, 2, 3, 4, 5, 6}},
      {PrefixQuery{"f"}, {5, 6}},
      {PrefixQuery{"g"}, {}},
      {LenQuery{}, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> expected;
    for (const int row : c.rows) expected.push_back(bodies[row]);
    EXPECT_EQ(runtime.Query(c.operation).value(), (QueryResult{expected, bodies.size()}));
  }
  EXPECT_EQ(Outcome(runtime.Query(ByQuery{"nope", "1"})), "index_not_found: nope");
  EXPECT_EQ(Outcome(JsonIndexRuntime(Definition()).Query(ByQuery{"n", ""})), "index_not_found: n");
}

TEST(JsonIndexTest, CheckpointFormats) {
  JsonIndexRuntime runtime(Definition());
  EXPECT_EQ(runtime.Checkpoint().value(), "{}");
  ASSERT_EQ(Outcome(runtime.Apply(Json(R"({"id":"a"})"))), "ok");
  ASSERT_EQ(Outcome(runtime.Apply(Json(R"({"id":"\"","n":1})", 2))), "ok");
  EXPECT_EQ(runtime.Checkpoint().value(),
            R"({"\"":[123,34,105,100,34,58,34,92,34,34,44,34,110,34,58,49,125],)"
            R"("a":[123,34,105,100,34,58,34,97,34,125]})");
  EXPECT_EQ(runtime.CheckpointPartition(1, 2).value(),
            R"({"a":[[1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],[123,34,105,100,34,58,34,97,34,125]]})");
  EXPECT_EQ(runtime.CheckpointPartition(0, 2).value().substr(0, 45),
            R"({"\"":[[2,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],[123)");
  EXPECT_EQ(runtime.CheckpointPartition(2, 2).value(), "{}");
  EXPECT_EQ(Outcome(runtime.CheckpointPartition(0, 0)),
            "invalid_partition: partition count must be at least 1");
}

TEST(JsonIndexTest, RestoredDocumentsAreIndexedAndBelongToNoPartitionButTheOnlyOne) {
  JsonIndexRuntime runtime(Definition());
  ASSERT_EQ(Outcome(runtime.Apply(Json(R"({"id":"gone"})"))), "ok");
  ASSERT_EQ(Outcome(runtime.RestoreCheckpoint(
                " {\"b\" : [123,34,110,34,58,50,125] , \"a\":[0,255], \"b\":[91,93]}\n", 0)),
            "ok");
  // Replaced as a whole; of a repeated member the last counts; any bytes.
  EXPECT_EQ(All(runtime), (std::vector<std::string>{std::string("\0\xff", 2), "[]"}));
  EXPECT_EQ(runtime.CheckpointPartition(0, 2).value(), "{}");
  EXPECT_EQ(runtime.CheckpointPartition(0, 1).value(),
            R"({"a":[[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],[0,255]],)"
            R"("b":[[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],[91,93]]})");

  ASSERT_EQ(Outcome(runtime.RestoreCheckpoint(R"({"b":[123,34,110,34,58,50,125]})", 0)), "ok");
  EXPECT_EQ(runtime.Query(ByQuery{"by_n", "2"}).value().rows,
            (std::vector<std::string>{R"({"n":2})"}));
  ASSERT_EQ(Outcome(runtime.Apply(Json(R"({"id":"b","n":3})", 3))), "ok");
  EXPECT_EQ(runtime.Query(ByQuery{"by_n", "2"}).value().rows, std::vector<std::string>());
  EXPECT_EQ(
      runtime.CheckpointPartition(1, 2).value(),
      R"({"b":[[3,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],[123,34,105,100,34,58,34,98,34,44,34,110,34,58,51,125]]})");

  ASSERT_EQ(Outcome(runtime.RestoreCheckpoint("{}", 0)), "ok");
  EXPECT_EQ(runtime.Query(LenQuery{}).value().total, 0u);
}

// Partitions sharing a runtime replay on their own, so a key's writes can
// come out of log order.
TEST(JsonIndexTest, AnOlderWriteOrRestoreNeverReplacesANewerDocument) {
  JsonIndexRuntime runtime(Definition());
  ASSERT_EQ(Outcome(runtime.Apply(Json(R"({"id":"k","n":2})", 2, 20))), "ok");
  ASSERT_EQ(Outcome(runtime.Apply(Json(R"({"id":"k","n":1})", 1, 10))), "ok");
  const std::string empty_array_under_k = R"({"k":[[1,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],[91,93]]})";
  // A snapshot at 20 holds writes made before 20.
  ASSERT_EQ(Outcome(runtime.RestorePartition(1, 2, empty_array_under_k, 20)), "ok");
  EXPECT_EQ(All(runtime), std::vector<std::string>{R"({"id":"k","n":2})"});
  EXPECT_EQ(runtime.Query(ByQuery{"by_n", "1"}).value().rows, std::vector<std::string>());

  ASSERT_EQ(Outcome(runtime.Apply(Json(R"({"id":"k","n":3})", 1, 20))), "ok");  // the same position
  EXPECT_EQ(runtime.Query(ByQuery{"by_n", "3"}).value().rows.size(), 1u);
  ASSERT_EQ(Outcome(runtime.RestorePartition(1, 2, empty_array_under_k, 22)), "ok");
  EXPECT_EQ(All(runtime), std::vector<std::string>{"[]"});
}

TEST(JsonIndexTest, UnreadableStateChangesNothing) {
  JsonIndexRuntime runtime(Definition());
  ASSERT_EQ(Outcome(runtime.Apply(Json(R"({"id":"a"})"))), "ok");
  const std::string before = runtime.CheckpointPartition(0, 1).value();
  const struct {
    std::string state;
    bool whole;  // RestoreCheckpoint, else RestorePartition
    std::string outcome;
  } cases[] = {
      {R"({"b":[1]} x)", true, "checkpoint_decode: trailing characters at line 1 column 11"},
      {R"({"b":[256]})", true, "checkpoint_decode: invalid value: integer `256`, expected u8"},
      {R"({"b":[1],"c":"x"})", true, "checkpoint_decode: invalid type: string \"x\""},
      {"[]", true, "checkpoint_decode: invalid type: sequence, expected a map"},
      {R"({"b":[[1],[2]]})", false, "checkpoint_decode: invalid length 1, expected an array"},
      {R"({"b":[[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]]})", false,
       "checkpoint_decode: invalid length 1, expected a tuple of size 2"},
      {R"({"b":[[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],[],[]]})", false,
       "checkpoint_decode: trailing characters"},
      {R"({"b":[1]})", false, "checkpoint_decode: invalid type: integer `1`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    const std::string outcome = Outcome(c.whole ? runtime.RestoreCheckpoint(c.state, 0)
                                                : runtime.RestorePartition(0, 1, c.state, 0));
    EXPECT_EQ(outcome.substr(0, c.outcome.size()), c.outcome);
    EXPECT_EQ(runtime.CheckpointPartition(0, 1).value(), before);
  }
}

TEST(JsonIndexTest, MissingRuntimeFailsAllButReset) {
  MissingRuntime runtime;
  const std::string missing = "runtime_missing: native runtime must be re-registered";
  const std::string no_codec = "checkpoint_unsupported: runtime has no checkpoint codec";
  const std::string no_partitions =
      "partition_unsupported: runtime does not implement partition checkpoints";
  EXPECT_EQ(Outcome(runtime.Reset()), "ok");
  EXPECT_EQ(Outcome(runtime.Apply(Json("{}"))), missing);
  EXPECT_EQ(Outcome(runtime.Query(LenQuery{})), missing);
  EXPECT_EQ(Outcome(runtime.Checkpoint()), no_codec);
  EXPECT_EQ(Outcome(runtime.RestoreCheckpoint("{}", 0)), no_codec);
  EXPECT_EQ(Outcome(runtime.CheckpointPartition(0, 1)), no_codec);
  EXPECT_EQ(Outcome(runtime.RestorePartition(0, 1, "{}", 0)), no_codec);
  EXPECT_EQ(Outcome(runtime.CheckpointPartition(0, 2)), no_partitions);
  EXPECT_EQ(Outcome(runtime.RestorePartition(1, 1, "{}", 0)), no_partitions);
}

// ---- The index against a plain model: a map folded over the same bodies,
// queried by parsing every body again.

struct ModelDocument {
  std::string body;
  std::optional<format::StreamId> owner;
};
using Model = std::map<std::string, ModelDocument>;

std::optional<nlohmann::json> Parsed(const std::string& body) {
  util::json::Result<nlohmann::json> value = util::json::Parse(body);
  if (!value.ok()) return std::nullopt;
  return std::move(value).value();
}

void ModelApply(const QueryDefinition& definition, const RecordView& record, Model& model) {
  const std::optional<nlohmann::json> document = Parsed(std::string(record.body));
  if (!record.json || !document || !document->is_object()) return;
  if (definition.filter) {
    const auto member = document->find(definition.filter->field);
    if (member == document->end() ||
        !util::json::KindEqual(*member, *Parsed(definition.filter->value))) {
      return;
    }
  }
  const auto key = document->find(definition.key_field);
  if (key == document->end() || !key->is_string()) return;
  model[key->get<std::string>()] = {std::string(record.body), record.stream_id};
}

std::vector<std::string> ModelSelect(const QueryDefinition& definition, const Model& model,
                                     const QueryOperation& operation) {
  std::vector<std::string> rows;
  for (const auto& [key, document] : model) {
    bool selected = false;
    if (const auto* get = std::get_if<GetQuery>(&operation)) selected = key == get->key;
    if (const auto* range = std::get_if<RangeQuery>(&operation)) {
      selected = range->start <= key && key < range->end;
    }
    if (const auto* prefix = std::get_if<PrefixQuery>(&operation)) {
      selected = key.starts_with(prefix->prefix);
    }
    if (const auto* by = std::get_if<ByQuery>(&operation)) {
      const std::optional<nlohmann::json> body = Parsed(document.body);
      const std::string& field = definition.indexes.at(by->index);
      if (body && body->is_object() && body->contains(field)) {
        const nlohmann::json& member = (*body)[field];
        std::string text;
        if (member.is_string()) {
          text = member.get<std::string>();
        } else {
          util::json::WriteCompact(member, &text);
        }
        selected = text == by->value;
      }
    }
    if (selected) rows.push_back(document.body);
  }
  return rows;
}

class RandomBodies {
 public:
  explicit RandomBodies(uint32_t seed) : random_(seed) {}

  size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  template <typename T>
  const T& Pick(const std::vector<T>& values) {
    return values[Below(values.size())];
  }

  std::string Key() { return Pick(keys_); }
  std::string Value() { return Pick(values_); }

  // Mostly objects with some of the key, indexed, filtered and other
  // members, in any order, sometimes repeated; now and then something else.
  std::string Body() {
    if (Below(20) == 0) return Pick(std::vector<std::string>{"[1]", "7", "\"k\"", "{\"k\":"});
    std::string body = "{";
    const size_t members = Below(6);
    for (size_t i = 0; i < members; ++i) {
      const std::string name = Pick(std::vector<std::string>{"k", "k", "a", "b", "f", "z"});
      const std::string value = name == "k" && Below(4) != 0 ? "\"" + Key() + "\"" : Value();
      body += (i ? "," : "") + std::string(Below(2) ? " " : "") + "\"" + name + "\":" + value;
    }
    return body + "}";
  }

  QueryOperation Operation(const QueryDefinition& definition) {
    switch (Below(5)) {
      case 0: return GetQuery{Key()};
      case 1: {
        if (definition.indexes.empty()) return LenQuery{};
        auto index = definition.indexes.begin();
        std::advance(index, Below(definition.indexes.size()));
        return ByQuery{index->first, Pick(texts_)};
      }
      case 2: return RangeQuery{Key(), Key()};
      case 3: return PrefixQuery{Key().substr(0, Below(3))};
    }
    return LenQuery{};
  }

  QueryDefinition Definition() {
    QueryDefinition definition;
    definition.key_field = "k";
    if (Below(2)) definition.indexes["by_a"] = "a";
    if (Below(2)) definition.indexes["by_b"] = "b";
    if (Below(3) == 0) definition.indexes["also_a"] = "a";
    if (Below(2)) definition.filter = QueryFilter{"f", Pick(filters_)};
    return definition;
  }

 private:
  std::mt19937 random_;
  const std::vector<std::string> keys_ = {"", "a", "ab", "abc", "b", "ba", "c", "\xc3\xa9", "z"};
  const std::vector<std::string> values_ = {"1",
                                            "1.0",
                                            "-1",
                                            "1e0",
                                            "true",
                                            "\"true\"",
                                            "null",
                                            "\"x\"",
                                            "\"\\u0078\"",
                                            "[1,\"x\"]",
                                            "{\"b\":1,\"a\":[2]}",
                                            "{\"a\":[2],\"b\":1}",
                                            "0",
                                            "-0",
                                            "\"\""};
  const std::vector<std::string> texts_ = {
      "1", "1.0", "-1", "true", "null", "x", "", "[1,\"x\"]", "{\"a\":[2],\"b\":1}", "0"};
  const std::vector<std::string> filters_ = {"1", "1.0", "-1", "\"x\"", "true"};
};

// Every query the generator makes, asked of both.
void ExpectSameAnswers(RandomBodies& random, const QueryDefinition& definition,
                       const ProjectionRuntime& runtime, const Model& model) {
  for (int i = 0; i < 20; ++i) {
    const QueryOperation operation = random.Operation(definition);
    const QueryResult expected{ModelSelect(definition, model, operation), model.size()};
    ASSERT_EQ(runtime.Query(operation).value(), expected) << operation.index();
  }
}

// The model's documents of partition `partition` of `count`; with one
// partition, every document.
Model ModelPartition(const Model& model, uint32_t partition, uint32_t count) {
  Model selected;
  for (const auto& [key, document] : model) {
    const bool member =
        document.owner ? StreamPartition(*document.owner, count) == partition : count == 1;
    if (member) selected.emplace(key, document);
  }
  return selected;
}

TEST(JsonIndexTest, AgreesWithAPlainModel) {
  RandomBodies random(20240611);
  for (int round = 0; round < 40; ++round) {
    const QueryDefinition definition = random.Definition();
    SCOPED_TRACE("round " + std::to_string(round));
    JsonIndexRuntime runtime(definition);
    Model model;
    for (int step = 0; step < 200; ++step) {
      const std::string body = random.Body();
      const RecordView record{StreamOf(static_cast<uint8_t>(random.Below(7))),
                              random.Below(10) != 0, body};
      const bool parses = Parsed(body).has_value();
      EXPECT_EQ(runtime.Apply(record).ok(), parses || !record.json) << body;
      ModelApply(definition, record, model);
      if (step % 25 == 0) ExpectSameAnswers(random, definition, runtime, model);
    }
    ExpectSameAnswers(random, definition, runtime, model);

    // A whole checkpoint restores every document, without owners.
    JsonIndexRuntime restored(definition);
    ASSERT_TRUE(restored.RestoreCheckpoint(runtime.Checkpoint().value(), 0).ok());
    Model ownerless = model;
    for (auto& [key, document] : ownerless) document.owner.reset();
    ExpectSameAnswers(random, definition, restored, ownerless);
    // The one partition of one holds them all, owners or not.
    JsonIndexRuntime again(definition);
    ASSERT_TRUE(again.RestorePartition(0, 1, restored.CheckpointPartition(0, 1).value(), 0).ok());
    EXPECT_EQ(again.Checkpoint().value(), runtime.Checkpoint().value());

    // Partitions restore their own documents; together, all of them.
    for (const uint32_t count : {1u, 3u}) {
      JsonIndexRuntime all(definition);
      for (uint32_t partition = 0; partition < count; ++partition) {
        const std::string state = runtime.CheckpointPartition(partition, count).value();
        JsonIndexRuntime alone(definition);
        ASSERT_TRUE(alone.RestorePartition(partition, count, state, 0).ok());
        ExpectSameAnswers(random, definition, alone, ModelPartition(model, partition, count));
        ASSERT_TRUE(all.RestorePartition(partition, count, state, 0).ok());
      }
      ExpectSameAnswers(random, definition, all, model);
      EXPECT_EQ(all.Checkpoint().value(), runtime.Checkpoint().value());
    }
  }
}

}  // namespace
}  // namespace corvantine::projection
