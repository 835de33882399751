#include "util/flat_id_map.h"

#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "util/coding.h"

namespace corvantine::util {
namespace {

using Map = FlatIdMap<Bytes16, uint64_t>;

Bytes16 IdOf(uint64_t low, uint64_t high) {
  Bytes16 id;
  std::memcpy(id.data(), &low, 8);
  std::memcpy(id.data() + 8, &high, 8);
  return id;
}

// Every entry of the map, checked to appear once.
std::map<Bytes16, uint64_t> Contents(const Map& map) {
  std::map<Bytes16, uint64_t> contents;
  for (const auto& [id, value] : map) EXPECT_TRUE(contents.emplace(id, value).second);
  return contents;
}

TEST(FlatIdMapTest, EmptyMapFindsNothing) {
  Map map;
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.begin(), map.end());
  EXPECT_EQ(map.find(IdOf(0, 0)), map.end());
  EXPECT_FALSE(map.contains(IdOf(1, 2)));
  EXPECT_EQ(map, Map());
  Map reserved;
  reserved.reserve(100);
  EXPECT_EQ(reserved.find(IdOf(0, 0)), reserved.end());
  EXPECT_EQ(reserved, map);
}

TEST(FlatIdMapTest, InsertOverwriteAndFind) {
  Map map;
  EXPECT_TRUE(map.try_emplace(IdOf(1, 1), 10u).second);
  EXPECT_FALSE(map.try_emplace(IdOf(1, 1), 11u).second);  // keeps the first value
  EXPECT_EQ(map.find(IdOf(1, 1))->second, 10u);
  EXPECT_FALSE(map.insert_or_assign(IdOf(1, 1), 12u).second);
  EXPECT_TRUE(map.insert_or_assign(IdOf(0, 0), 20u).second);  // the all-zero id is a key too
  EXPECT_EQ(map.size(), 2u);
  EXPECT_EQ(map.find(IdOf(1, 1))->second, 12u);
  EXPECT_EQ(map.find(IdOf(0, 0))->second, 20u);
  EXPECT_FALSE(map.contains(IdOf(1, 0)));
  EXPECT_FALSE(map.contains(IdOf(0, 1)));
  map.find(IdOf(0, 0))->second = 21;
  EXPECT_EQ(map.find(IdOf(0, 0))->second, 21u);
}

// Random ids, and ids like generated ones where only one half varies, grown
// from empty through many doublings and checked against std::map.
TEST(FlatIdMapTest, MatchesReferenceMap) {
  std::mt19937_64 random(7);
  const std::vector<std::pair<const char*, std::function<Bytes16(uint64_t)>>> generators = {
      {"random", [&](uint64_t) { return IdOf(random(), random()); }},
      {"counter in high half", [](uint64_t i) { return IdOf(1'700'000'000'000'000'000, i); }},
      {"clock in low half", [](uint64_t i) { return IdOf(i * 1000, 42); }},
  };
  for (const auto& [name, next_id] : generators) {
    Map map;
    std::map<Bytes16, uint64_t> reference;
    std::vector<Bytes16> ids;
    for (uint64_t i = 0; i < 50'000; ++i) {
      // Every tenth step overwrites an id already present.
      const Bytes16 id = i % 10 == 9 ? ids[random() % ids.size()] : next_id(i);
      ids.push_back(id);
      map.insert_or_assign(id, i);
      reference.insert_or_assign(id, i);
    }
    EXPECT_EQ(map.size(), reference.size()) << name;
    EXPECT_EQ(Contents(map), reference) << name;
    for (const auto& [id, value] : reference) {
      auto entry = map.find(id);
      ASSERT_NE(entry, map.end()) << name;
      EXPECT_EQ(entry->second, value) << name;
    }
    for (int i = 0; i < 1000; ++i) {
      EXPECT_FALSE(map.contains(IdOf(random(), random() | 1ull << 63))) << name;
    }
  }
}

TEST(FlatIdMapTest, ReserveKeepsEntriesInPlace) {
  Map map;
  map.reserve(1000);
  const uint64_t* first = &map.try_emplace(IdOf(0, 0), 0u).first->second;
  for (uint64_t i = 1; i < 1000; ++i) map.try_emplace(IdOf(i, i), i);
  EXPECT_EQ(&map.find(IdOf(0, 0))->second, first);
  map.reserve(10);  // never shrinks
  EXPECT_EQ(&map.find(IdOf(0, 0))->second, first);
}

TEST(FlatIdMapTest, EqualityIgnoresOrderAndCapacity) {
  Map forward;
  Map backward;
  backward.reserve(10'000);
  for (uint64_t i = 0; i < 100; ++i) forward.try_emplace(IdOf(i, ~i), i);
  for (uint64_t i = 100; i-- > 0;) backward.try_emplace(IdOf(i, ~i), i);
  EXPECT_EQ(forward, backward);

  Map other_value = backward;
  other_value.insert_or_assign(IdOf(5, ~5ull), 6);
  EXPECT_NE(forward, other_value);
  Map other_key = backward;
  other_key.try_emplace(IdOf(100, ~100ull), 100u);
  EXPECT_NE(forward, other_key);
  EXPECT_NE(other_key, forward);
}

TEST(FlatIdMapTest, CopiesAreIndependentAndMovesEmpty) {
  Map map;
  for (uint64_t i = 0; i < 100; ++i) map.try_emplace(IdOf(i, i), i);
  Map copy = map;
  copy.insert_or_assign(IdOf(0, 0), 99);
  EXPECT_EQ(map.find(IdOf(0, 0))->second, 0u);
  copy = map;
  EXPECT_EQ(copy, map);

  Map moved = std::move(copy);
  EXPECT_EQ(moved, map);
  EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): moved-from is empty and usable
  EXPECT_EQ(copy.begin(), copy.end());
  copy.try_emplace(IdOf(1, 2), 3u);
  EXPECT_EQ(copy.size(), 1u);
}

}  // namespace
}  // namespace corvantine::util
