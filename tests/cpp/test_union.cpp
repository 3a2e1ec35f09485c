// Uniting value maps and indexes: every value, id and number of the other side arrives once.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <utility>

#include "host_stub.hpp"
#include "index/index.hpp"
#include "test_support.hpp"

namespace vostrel {
namespace {

PyValue int_value(std::int64_t n) { return PyValue(SharedHostRef(), CastValue::Int(n), static_cast<std::uint64_t>(n)); }
PyValue float_value(double x, std::uint64_t hash) { return PyValue(SharedHostRef(), CastValue::Float(x), hash); }
PyValue str_value(std::uint64_t hash) { return PyValue(SharedHostRef(), CastValue::Str("s"), hash); }

/// What a map holds: each value's ids by host hash, and the tree's (key, id) pairs in order.
struct Content {
  std::map<std::uint64_t, std::set<Id>> sets;
  std::vector<std::pair<Key128, Id>> tree;
  bool operator==(const Content&) const = default;
};

Content content_of(const QueryMap& map) {
  Content c;
  for (const auto& [value, set] : map.value_sets) {
    auto& ids = c.sets[value.hash()];
    set.for_each([&](Id id) { EXPECT_TRUE(ids.insert(id).second) << "id " << id << " twice in one set"; });
  }
  map.range_tree.for_each_key([&](Key128 k) { c.tree.emplace_back(k, key_id(k)); });
  return c;
}

/// One pair to insert: a value and an id.
using Pairs = std::vector<std::pair<PyValue, Id>>;

QueryMap map_of(const Pairs& pairs) {
  QueryMap map;
  for (const auto& [value, id] : pairs) map.insert(value, id);
  return map;
}

struct MergeCase {
  const char* name;
  Pairs mine;
  Pairs theirs;
  Pairs expected;  // inserting these into an empty map gives the expected content
};

TEST(QueryMapMerge, Cases) {
  const MergeCase cases[] = {
      {"disjoint values and ids", {{int_value(1), 1}, {str_value(50), 2}}, {{int_value(2), 3}, {str_value(51), 4}},
       {{int_value(1), 1}, {str_value(50), 2}, {int_value(2), 3}, {str_value(51), 4}}},
      {"shared value, other ids", {{int_value(5), 1}}, {{int_value(5), 2}, {int_value(6), 3}},
       {{int_value(5), 1}, {int_value(5), 2}, {int_value(6), 3}}},
      {"same pairs on both sides", {{int_value(5), 1}, {str_value(9), 2}}, {{int_value(5), 1}, {str_value(9), 2}},
       {{int_value(5), 1}, {str_value(9), 2}}},
      {"values only in other", {}, {{int_value(7), 1}, {float_value(2.5, 77), 2}, {str_value(8), 3}},
       {{int_value(7), 1}, {float_value(2.5, 77), 2}, {str_value(8), 3}}},
      {"nothing in other", {{int_value(7), 1}}, {}, {{int_value(7), 1}}},
      {"an int and a float of one hash keep their own numbers", {{int_value(1), 3}}, {{float_value(1.0, 1), 4}},
       {{int_value(1), 3}, {float_value(1.0, 1), 4}}},
      {"an id held here keeps its value", {{int_value(1), 3}}, {{int_value(2), 3}, {int_value(2), 4}},
       {{int_value(1), 3}, {int_value(2), 4}}},
      {"an id held here under a string stays out of the tree", {{str_value(70), 3}}, {{int_value(2), 3}},
       {{str_value(70), 3}}},
      {"small sets turn large on the fifth id", {{int_value(1), 1}, {int_value(1), 2}, {int_value(1), 3}},
       {{int_value(1), 3}, {int_value(1), 4}, {int_value(1), 5}, {int_value(1), 6}},
       {{int_value(1), 1}, {int_value(1), 2}, {int_value(1), 3}, {int_value(1), 4}, {int_value(1), 5}, {int_value(1), 6}}},
  };
  for (const MergeCase& c : cases) {
    SCOPED_TRACE(c.name);
    QueryMap mine = map_of(c.mine);
    const QueryMap theirs = map_of(c.theirs);
    const Content theirs_before = content_of(theirs);
    mine.merge(theirs);
    EXPECT_EQ(mine.verify(), std::nullopt);
    EXPECT_EQ(content_of(mine), content_of(map_of(c.expected)));
    EXPECT_EQ(content_of(theirs), theirs_before);
  }
}

TEST(QueryMapMerge, NumbersArriveInTheTreeForRangeQueries) {
  QueryMap mine = map_of({{int_value(10), 1}, {int_value(30), 2}});
  const QueryMap theirs = map_of({{int_value(20), 3}, {float_value(25.5, 99), 4}, {int_value(40), 5}});
  mine.merge(theirs);
  const Bitmap all = Bitmap::of({1, 2, 3, 4, 5});
  EXPECT_EQ(mine.range_tree.query_range(Bound::excluded(NumericValue(std::int64_t{15})), Bound::included(NumericValue(30.0)), all)
                .to_vector(),
            (std::vector<Id>{2, 3, 4}));
  EXPECT_EQ(mine.range_tree.ids().to_vector(), (std::vector<Id>{1, 2, 3, 4, 5}));
}

TEST(QueryMapMerge, EmptiedSetsBringNoEntryAndRemovalStillWorksAfterwards) {
  QueryMap theirs = map_of({{int_value(4), 1}, {int_value(5), 2}});
  theirs.remove_id(int_value(4), 1);  // the entry stays with an empty set
  QueryMap mine;
  mine.merge(theirs);
  EXPECT_EQ(mine.find(int_value(4)), nullptr);
  EXPECT_EQ(mine.find(int_value(5))->to_vector(), std::vector<Id>{2});
  mine.remove_id(int_value(5), 2);
  mine.check_prune(int_value(5));
  EXPECT_TRUE(mine.value_sets.empty());
  EXPECT_TRUE(mine.range_tree.ids().is_empty());
  EXPECT_EQ(mine.verify(), std::nullopt);
}

TEST(QueryMapMerge, MergingAMapIntoItselfChangesNothing) {
  QueryMap map = map_of({{int_value(4), 1}, {str_value(5), 2}});
  const Content before = content_of(map);
  map.merge(map);
  EXPECT_EQ(content_of(map), before);
}

TEST(QueryMapMerge, KeyCopiesShareTheHostObjects) {
  const std::size_t released = test::host_release_count();
  {
    QueryMap theirs;
    theirs.insert(PyValue(SharedHostRef::adopt(test::fake_host_object(1)), CastValue::Int(3), 3), 1);
    QueryMap mine;
    mine.merge(theirs);
    EXPECT_EQ(mine.value_sets.begin()->first.obj().use_count(), 2u);
  }
  EXPECT_EQ(test::host_release_count(), released + 1);
}

/// Each object holds one value; two maps index random subsets of the objects, some removed again.
TEST(QueryMapMerge, RandomMapsMergeAsTheUnionOfTheirObjects) {
  constexpr Id kObjects = 120;
  constexpr int kRounds = 40;
  std::mt19937_64 rng(11);
  auto value_for = [&](std::uint64_t r) -> PyValue {
    switch (r % 4) {
      case 0: return int_value(static_cast<std::int64_t>(r % 13));
      case 1: return float_value(static_cast<double>(r % 13), r % 13);  // shares the int's hash
      case 2: return float_value(static_cast<double>(r % 7) + 0.5, 1000 + r % 7);
      default: return str_value(2000 + r % 5);
    }
  };
  for (int round = 0; round < kRounds; ++round) {
    std::vector<PyValue> values;
    for (Id id = 0; id < kObjects; ++id) values.push_back(value_for(rng()));
    auto build = [&](std::set<Id>& held) {
      QueryMap map;
      for (Id id = 1; id < kObjects; ++id)
        if (rng() % 2 == 0) {
          map.insert(values[id], id);
          held.insert(id);
        }
      for (Id id : std::set<Id>(held))
        if (rng() % 6 == 0) {
          map.remove_id(values[id], id);
          map.check_prune(values[id]);
          held.erase(id);
        }
      return map;
    };
    std::set<Id> mine_ids, theirs_ids;
    QueryMap mine = build(mine_ids);
    const QueryMap theirs = build(theirs_ids);
    const Content theirs_before = content_of(theirs);
    mine.merge(theirs);
    ASSERT_EQ(mine.verify(), std::nullopt) << "round " << round;
    QueryMap expected;
    for (Id id = 1; id < kObjects; ++id)
      if (mine_ids.count(id) || theirs_ids.count(id)) expected.insert(values[id], id);
    ASSERT_EQ(content_of(mine), content_of(expected)) << "round " << round;
    ASSERT_EQ(content_of(theirs), theirs_before) << "round " << round;
  }
}

// ---------------------------------------------------------------------------------------------
// Index union

StoredItem fake_item(std::size_t n) { return StoredItem::adopt(test::fake_host_object(n)); }

/// Adds object `id` with the given attributes as adding does: table, store and ids.
void add(Index& index, Id id, const std::vector<std::pair<const char*, PyValue>>& attributes) {
  {
    auto table = index.query_maps->write();
    for (const auto& [name, value] : attributes) _add_index(*table, id, AttrName(name), value);
  }
  store_item(*index.stored_items->write(), id, fake_item(id));
  index.ids.add(id);
}

std::vector<Id> ids_under(const Index& index, const char* name, const PyValue& value) {
  auto table = index.query_maps->read();
  auto it = table->find(AttrName(name));
  if (it == table->end()) return {};
  const HybridSet* set = it->second->find(value);
  return set ? set->to_vector() : std::vector<Id>{};
}

TEST(IndexUnion, BringsAttributesObjectsAndIds) {
  Index mine = Index::make();
  Index theirs = Index::make();
  add(mine, 1, {{"size", int_value(1)}});
  add(mine, 2, {{"size", int_value(2)}, {"tag", str_value(40)}});
  add(theirs, 2, {{"size", int_value(2)}, {"tag", str_value(40)}});
  add(theirs, 5, {{"size", int_value(2)}, {"colour", str_value(41)}});

  const std::size_t retained = test::host_retain_count();
  UnionArrivals arrivals = union_arrivals(mine, theirs);
  EXPECT_EQ(test::host_retain_count(), retained + 1);  // the arriving object, for the second store
  EXPECT_EQ(arrivals.ids, std::vector<Id>{5});
  EXPECT_EQ(arrivals.items.at(0).object.get(), test::fake_host_object(5));
  union_with(mine, theirs, std::move(arrivals));

  EXPECT_EQ(mine.ids.to_vector(), (std::vector<Id>{1, 2, 5}));
  EXPECT_EQ(ids_under(mine, "size", int_value(2)), (std::vector<Id>{2, 5}));
  EXPECT_EQ(ids_under(mine, "colour", str_value(41)), std::vector<Id>{5});
  EXPECT_EQ(ids_under(mine, "tag", str_value(40)), std::vector<Id>{2});
  EXPECT_EQ(verify_table(*mine.query_maps->read()), std::nullopt);
  {
    auto store = mine.stored_items->read();
    ASSERT_EQ(store->size(), 6u);
    EXPECT_EQ((*store)[5].object.get(), test::fake_host_object(5));
    EXPECT_EQ((*theirs.stored_items->read())[5].object.get(), test::fake_host_object(5));
  }
  EXPECT_EQ(theirs.ids.to_vector(), (std::vector<Id>{2, 5}));
  EXPECT_EQ(ids_under(theirs, "size", int_value(2)), (std::vector<Id>{2, 5}));
  EXPECT_EQ(ids_under(theirs, "size", int_value(1)), std::vector<Id>{});
}

TEST(IndexUnion, WithAnEmptyIndexChangesNothing) {
  Index mine = Index::make();
  add(mine, 3, {{"a", int_value(1)}});
  const Index empty = Index::make();
  union_with(mine, empty, union_arrivals(mine, empty));
  EXPECT_EQ(mine.ids.to_vector(), std::vector<Id>{3});
  EXPECT_EQ(mine.query_maps->read()->size(), 1u);
  EXPECT_EQ(mine.stored_items->read()->size(), 4u);
}

TEST(IndexUnion, MissingStoredObjectIsAMissingValue) {
  Index mine = Index::make();
  Index theirs = Index::make();
  theirs.ids.add(7);  // an id without its object
  EXPECT_NE(test::fatal_text([&] { (void)union_arrivals(mine, theirs); }), "(no failure)");
  EXPECT_TRUE(mine.ids.is_empty());
}

TEST(IndexUnion, ACopySharingTheTableOnlyGainsIds) {
  Index mine = Index::make();
  add(mine, 1, {{"a", int_value(1)}});
  Index copy = mine.clone();
  add(copy, 2, {{"a", int_value(1)}});
  union_with(mine, copy, union_arrivals(mine, copy));
  EXPECT_EQ(mine.ids.to_vector(), (std::vector<Id>{1, 2}));
  EXPECT_EQ(ids_under(mine, "a", int_value(1)), (std::vector<Id>{1, 2}));
  EXPECT_EQ(verify_table(*mine.query_maps->read()), std::nullopt);
}

}  // namespace
}  // namespace vostrel
