// The per-attribute value map: insert, remove_id, check_prune and merge, against a plain model.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "host_stub.hpp"
#include "index/query.hpp"

namespace vostrel {
namespace {

PyValue int_value(std::int64_t n) { return PyValue(SharedHostRef(), CastValue::Int(n), static_cast<std::uint64_t>(n)); }
PyValue float_value(double x, std::uint64_t hash) { return PyValue(SharedHostRef(), CastValue::Float(x), hash); }
PyValue str_value(std::uint64_t hash) { return PyValue(SharedHostRef(), CastValue::Str("a"), hash); }

/// Ids the tree holds under exactly the number n.
std::vector<Id> tree_ids(const QueryMap& map, NumericValue n) {
  Bitmap all;
  for (Id id = 0; id < 64; ++id) all.add(id);
  return map.range_tree.query_range(Bound::included(n), Bound::included(n), all).to_vector();
}
/// Number of ids the tree holds under any number.
std::size_t tree_size(const QueryMap& map) {
  Bitmap all;
  for (Id id = 0; id < 64; ++id) all.add(id);
  return map.range_tree.query_range(Bound::unbounded(), Bound::unbounded(), all).cardinality();
}

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
  EXPECT_EQ(tree_size(map), 5u);
  EXPECT_EQ(map.verify(), std::nullopt);
}

TEST(QueryMap, InsertIsIdempotentAndOneRemoveUndoesIt) {
  QueryMap map;
  map.insert(int_value(3), 9);
  map.insert(int_value(3), 9);
  EXPECT_EQ(ids_of(map, int_value(3)), std::vector<Id>{9});
  EXPECT_EQ(tree_size(map), 1u);
  map.remove_id(int_value(3), 9);
  EXPECT_TRUE(map.find(int_value(3))->is_empty());
  EXPECT_EQ(tree_size(map), 0u);
}

TEST(QueryMap, StringsStayOutOfTheTree) {
  QueryMap map;
  map.insert(str_value(42), 1);
  EXPECT_EQ(tree_size(map), 0u);
  map.remove_id(str_value(42), 1);
  EXPECT_TRUE(map.find(str_value(42))->is_empty());
  EXPECT_EQ(tree_size(map), 0u);
}

TEST(QueryMap, EqualHashesShareOneSetButKeepTheirOwnNumbers) {
  QueryMap map;
  map.insert(int_value(1), 3);
  map.insert(float_value(1.0, 1), 4);
  ASSERT_EQ(map.value_sets.size(), 1u);
  EXPECT_EQ(ids_of(map, int_value(1)), (std::vector<Id>{3, 4}));
  EXPECT_EQ(tree_ids(map, std::int64_t{1}), (std::vector<Id>{3, 4}));  // 1 and 1.0 order as equal
  map.remove_id(float_value(1.0, 1), 4);
  EXPECT_EQ(tree_ids(map, 1.0), std::vector<Id>{3});
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

TEST(QueryMap, MergeUnitesSharedValuesAndBringsTheOthers) {
  QueryMap a, b;
  a.insert(int_value(5), 1);
  b.insert(int_value(5), 2);
  b.insert(int_value(6), 3);
  a.merge(b);
  EXPECT_EQ(ids_of(a, int_value(5)), (std::vector<Id>{1, 2}));
  EXPECT_EQ(ids_of(a, int_value(6)), std::vector<Id>{3});
  QueryMap empty;
  empty.merge(b);
  EXPECT_EQ(ids_of(empty, int_value(5)), std::vector<Id>{2});
  EXPECT_EQ(tree_size(empty), 2u);
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

// Each id holds at most one value at a time, as an object holds one value per attribute.
TEST(QueryMap, RandomisedAgainstModel) {
  std::mt19937 rng(20261208);
  QueryMap map;
  std::map<Id, std::int64_t> held;                 // id -> its current value
  std::map<std::int64_t, std::set<Id>> entries;    // values with an entry (possibly empty)
  for (int step = 0; step < 3000; ++step) {
    const Id id = 1 + rng() % 20;
    const std::int64_t n = static_cast<std::int64_t>(rng() % 12);
    auto it = held.find(id);
    switch (rng() % 3) {
      case 0:  // assign n (or repeat the current value, which changes nothing)
        if (it != held.end() && it->second != n) break;
        map.insert(int_value(n), id);
        held[id] = n;
        entries[n].insert(id);
        break;
      case 1:  // take the id out of its value, or out of a value it does not hold
        map.remove_id(int_value(it != held.end() ? it->second : n), id);
        if (it != held.end()) {
          entries[it->second].erase(id);
          held.erase(it);
        }
        break;
      default:
        if (entries.count(n)) {
          map.check_prune(int_value(n));
          if (entries[n].empty()) entries.erase(n);
        }
    }
    ASSERT_EQ(map.verify(), std::nullopt) << "step " << step;
    ASSERT_EQ(map.value_sets.size(), entries.size()) << "step " << step;
    ASSERT_EQ(tree_size(map), held.size()) << "step " << step;
  }
  for (const auto& [n, ids] : entries) {
    const auto in_set = ids_of(map, int_value(n));
    EXPECT_EQ(std::set<Id>(in_set.begin(), in_set.end()), ids);
    const auto in_tree = tree_ids(map, n);
    EXPECT_EQ(std::set<Id>(in_tree.begin(), in_tree.end()), ids);
  }
}

}  // namespace
}  // namespace vostrel
