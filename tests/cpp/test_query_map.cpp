// The per-attribute value map: insert, remove_id, check_prune and merge, against a plain model.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "host_stub.hpp"
#include "index/query_map.hpp"

namespace vostrel {
namespace {

PyValue int_value(std::int64_t n) { return PyValue(SharedHostRef(), CastValue::Int(n), static_cast<std::uint64_t>(n)); }
PyValue float_value(double x, std::uint64_t hash) { return PyValue(SharedHostRef(), CastValue::Float(x), hash); }
PyValue str_value(std::uint64_t hash) { return PyValue(SharedHostRef(), CastValue::Str("a"), hash); }

std::vector<Id> ids_of(const QueryMap& map, const PyValue& v) {
  const HybridSet* set = map.find(v);
  return set ? set->to_vector() : std::vector<Id>{};
}

TEST(QueryMap, FifthIdTurnsTheSetLargeAndEntersTheTree) {
  QueryMap map;
  for (Id id = 1; id <= 5; ++id) map.insert(int_value(7), id);
  ASSERT_EQ(map.value_sets.size(), 1u);
  EXPECT_TRUE(map.find(int_value(7))->is_large());
  EXPECT_EQ(ids_of(map, int_value(7)), (std::vector<Id>{1, 2, 3, 4, 5}));
  EXPECT_EQ(map.range_tree.size(), 5u);
  EXPECT_EQ(map.verify(), std::nullopt);
}

TEST(QueryMap, InsertIsIdempotentAndOneRemoveUndoesIt) {
  QueryMap map;
  map.insert(int_value(3), 9);
  map.insert(int_value(3), 9);
  EXPECT_EQ(ids_of(map, int_value(3)), std::vector<Id>{9});
  EXPECT_EQ(map.range_tree.size(), 1u);
  map.remove_id(int_value(3), 9);
  EXPECT_TRUE(map.find(int_value(3))->is_empty());
  EXPECT_EQ(map.range_tree.size(), 0u);
}

TEST(QueryMap, StringsStayOutOfTheTree) {
  QueryMap map;
  map.insert(str_value(42), 1);
  EXPECT_EQ(map.range_tree.size(), 0u);
  map.remove_id(str_value(42), 1);
  EXPECT_TRUE(map.find(str_value(42))->is_empty());
  EXPECT_EQ(map.range_tree.size(), 0u);
}

TEST(QueryMap, EqualHashesShareOneSetButKeepTheirOwnNumbers) {
  QueryMap map;
  map.insert(int_value(1), 3);
  map.insert(float_value(1.0, 1), 4);
  ASSERT_EQ(map.value_sets.size(), 1u);
  EXPECT_EQ(ids_of(map, int_value(1)), (std::vector<Id>{3, 4}));
  EXPECT_TRUE(map.range_tree.contains(NumericValue(std::int64_t{1}), 3));
  EXPECT_TRUE(map.range_tree.contains(NumericValue(1.0), 4));
  EXPECT_EQ(map.value_sets.begin()->first.primitave().kind(), CastValue::Kind::Int);  // first key kept
}

TEST(QueryMap, CheckPruneDropsOnlyEmptyEntries) {
  QueryMap map;
  map.insert(int_value(5), 1);
  map.insert(int_value(6), 2);
  map.insert(int_value(6), 3);
  map.remove_id(int_value(5), 1);
  map.remove_id(int_value(6), 2);
  map.check_prune(int_value(5));
  map.check_prune(int_value(6));
  EXPECT_EQ(map.find(int_value(5)), nullptr);
  EXPECT_EQ(ids_of(map, int_value(6)), std::vector<Id>{3});
}

TEST(QueryMap, RemovingAnAbsentValueChangesNoSet) {
  QueryMap map;
  map.insert(int_value(5), 1);
  map.remove_id(int_value(8), 1);
  EXPECT_EQ(ids_of(map, int_value(5)), std::vector<Id>{1});
  EXPECT_EQ(map.find(int_value(8)), nullptr);
}

TEST(QueryMap, CheckPruneWithoutEntryIsFatal) {
  QueryMap map;
  try {
    map.check_prune(int_value(1));
    FAIL() << "expected a fatal error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message(), "no entry found for key");
  }
}

TEST(QueryMap, MergeUnitesSharedValuesOnly) {
  QueryMap a, b;
  a.insert(int_value(5), 1);
  b.insert(int_value(5), 2);
  b.insert(int_value(6), 3);
  a.merge(b);
  EXPECT_EQ(ids_of(a, int_value(5)), (std::vector<Id>{1, 2}));
  EXPECT_EQ(a.find(int_value(6)), nullptr);
  QueryMap empty;
  empty.merge(b);
  EXPECT_TRUE(empty.value_sets.empty());
}

TEST(QueryMap, KeyCopiesShareTheHostObject) {
  const long before = test::released_host_refs();
  {
    QueryMap map;
    static int fake_object;
    PyValue v(SharedHostRef::adopt(reinterpret_cast<HostObject*>(&fake_object)), CastValue::Int(1), 1);
    map.insert(v, 1);
    map.insert(v, 2);
    EXPECT_EQ(v.obj().use_count(), 2u);
  }
  EXPECT_EQ(test::released_host_refs(), before + 1);
}

TEST(QueryMap, RandomisedAgainstModel) {
  std::mt19937 rng(20261208);
  QueryMap map;
  std::map<std::uint64_t, std::set<Id>> sets;        // present entries (possibly empty)
  std::set<std::pair<std::int64_t, Id>> tree;        // numeric pairs held
  for (int step = 0; step < 4000; ++step) {
    const std::int64_t n = static_cast<std::int64_t>(rng() % 12);
    const Id id = 1 + rng() % 20;
    const PyValue v = int_value(n);
    switch (rng() % 3) {
      case 0:
        map.insert(v, id);
        sets[static_cast<std::uint64_t>(n)].insert(id);
        tree.emplace(n, id);
        break;
      case 1:
        map.remove_id(v, id);
        if (auto it = sets.find(static_cast<std::uint64_t>(n)); it != sets.end()) it->second.erase(id);
        tree.erase({n, id});
        break;
      default:
        if (sets.count(static_cast<std::uint64_t>(n))) {
          map.check_prune(v);
          if (sets[static_cast<std::uint64_t>(n)].empty()) sets.erase(static_cast<std::uint64_t>(n));
        }
    }
    ASSERT_EQ(map.verify(), std::nullopt) << "step " << step;
    ASSERT_EQ(map.value_sets.size(), sets.size()) << "step " << step;
    ASSERT_EQ(map.range_tree.size(), tree.size()) << "step " << step;
  }
  for (const auto& [hash, ids] : sets) {
    const auto held = ids_of(map, int_value(static_cast<std::int64_t>(hash)));
    EXPECT_EQ(std::set<Id>(held.begin(), held.end()), ids);
  }
}

}  // namespace
}  // namespace vostrel
