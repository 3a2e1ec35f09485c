// Views of an index, the rebased index value, and narrowing a table to some of its objects.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "host_stub.hpp"
#include "index/filtered_index.hpp"
#include "index/indexable.hpp"
#include "test_support.hpp"

namespace vostrel {
namespace {

PyValue int_value(std::int64_t n) { return PyValue(SharedHostRef(), CastValue::Int(n), static_cast<std::uint64_t>(n)); }
/// A non-number whose hash equals that of the integer n, as True and 1 share one.
PyValue other_value(std::int64_t n) {
  return PyValue(SharedHostRef(), CastValue::Unknown(), static_cast<std::uint64_t>(n));
}

TEST(FilteredIndex, SharesTheStructuresAndNarrowsWithinItsIds) {
  Index index = Index::make();
  FilteredIndex view = FilteredIndex::of(index, Bitmap::of({1, 2, 3}));
  EXPECT_EQ(view.query_maps, index.query_maps);
  EXPECT_EQ(view.stored_items, index.stored_items);
  const FilteredIndex narrower = view.narrowed(Bitmap::of({2, 3, 4}));
  EXPECT_EQ(narrower.ids.to_vector(), (std::vector<Id>{2, 3}));
  EXPECT_EQ(view.ids.to_vector(), (std::vector<Id>{1, 2, 3}));
  EXPECT_TRUE(view.narrowed(Bitmap()).ids.is_empty());
}

TEST(FilteredIndex, VerifyAndLookupsNeedFilledSlots) {
  Index index = Index::make();
  store_item(*index.stored_items->write(), 2, StoredItem::adopt(test::fake_host_object(0)));
  EXPECT_EQ(FilteredIndex::of(index, Bitmap::of({2})).verify(), std::nullopt);
  EXPECT_NE(FilteredIndex::of(index, Bitmap::of({1})).verify(), std::nullopt);
  EXPECT_NE(FilteredIndex::of(index, Bitmap::of({9})).verify(), std::nullopt);
  auto store = index.stored_items->read();
  EXPECT_EQ(stored_at(*store, 2).object.get(), test::fake_host_object(0));
  const std::string missing = test::fatal_text([&] { (void)stored_at(*store, 1); });
  EXPECT_EQ(test::fatal_text([&] { (void)stored_at(*store, 7); }), missing);
  EXPECT_NE(missing, "(no failure)");
}

TEST(FilteredIndex, RebasedValueIsNewAndSizedOnce) {
  const Index empty = make_rebased(Bitmap());
  EXPECT_TRUE(empty.stored_items->read()->empty());
  const Bitmap ids = Bitmap::of({4, 9});
  const Index rebased = make_rebased(ids);
  EXPECT_EQ(rebased.stored_items->read()->size(), 10u);
  EXPECT_EQ(rebased.ids, ids);
  EXPECT_TRUE(rebased.query_maps->read()->empty());
}

TEST(Indexable, RemoveIndexDropsEveryRecordOfThatTable) {
  Index a = Index::make(), b = Index::make();
  Indexable obj;
  add_index(obj, IndexMeta{a.query_maps});
  add_index(obj, IndexMeta{b.query_maps});
  add_index(obj, IndexMeta{a.query_maps});
  remove_index(obj, a.query_maps.get());
  ASSERT_EQ(obj.index_meta.size(), 1u);
  EXPECT_EQ(obj.index_meta[0].resolve(), b.query_maps);
}

/// All ids the attribute's tree holds.
std::set<Id> tree_ids(const QueryMapTable& table, std::string_view name) {
  auto it = table.find(AttrName(name));
  if (it == table.end()) return {};
  Bitmap all;
  for (Id id = 0; id < 256; ++id) all.add(id);
  auto found = it->second->range_tree.query_range(Bound::unbounded(), Bound::unbounded(), all).to_vector();
  return {found.begin(), found.end()};
}

std::set<Id> set_ids(const QueryMapTable& table, std::string_view name, const PyValue& v) {
  auto it = table.find(AttrName(name));
  const HybridSet* set = it == table.end() ? nullptr : it->second->find(v);
  if (!set) return {};
  auto ids = set->to_vector();
  return {ids.begin(), ids.end()};
}

// Narrowing keeps exactly the kept objects in the value sets and the trees, seen against a model
// of what each object holds; rounds of narrowing, re-adding and new objects alternate.
TEST(Narrowing, RandomRoundsAgainstAModel) {
  constexpr int kRounds = 40;
  constexpr Id kObjects = 60;
  constexpr std::int64_t kValues = 6;
  const std::array<std::string_view, 3> names = {"a", "b", "_c"};
  std::mt19937 rng(20261208);
  QueryMapTable table;
  std::map<Id, Indexable> objects;  // the model: members and what they hold
  std::set<Id> members;

  const auto make_object = [&](Id id) {
    Indexable obj;
    obj.id = id;
    for (std::string_view name : names)
      if (rng() % 4 != 0) {
        const std::int64_t n = static_cast<std::int64_t>(rng() % kValues);
        obj.attributes.insert_or_assign(AttrName(name), rng() % 3 == 0 ? other_value(n) : int_value(n));
      }
    return obj;
  };
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < 5; ++k) {
      const Id id = static_cast<Id>(rng() % kObjects);
      if (!objects.count(id)) objects.emplace(id, make_object(id));
      index_attributes(table, objects.at(id));
      members.insert(id);
    }
    Bitmap kept;
    for (Id id : members)
      if (rng() % 3 != 0) kept.add(id);
    narrow_value_sets(table, kept);
    for (Id id : members)
      if (!kept.contains(id)) remove_numeric_pairs(table, objects.at(id));
    std::erase_if(members, [&](Id id) { return !kept.contains(id); });

    ASSERT_EQ(verify_table(table), std::nullopt) << "round " << round;
    EXPECT_EQ(table.count(AttrName("_c")), 0u);
    for (std::string_view name : {"a", "b"}) {
      std::set<Id> numeric;
      for (std::int64_t n = 0; n < kValues; ++n) {
        std::set<Id> holders;
        for (Id id : members) {
          auto it = objects.at(id).attributes.find(AttrName(name));
          if (it == objects.at(id).attributes.end() || it->second.hash() != static_cast<std::uint64_t>(n)) continue;
          holders.insert(id);
          if (it->second.primitave().is_numeric()) numeric.insert(id);
        }
        EXPECT_EQ(set_ids(table, name, int_value(n)), holders) << "round " << round << " value " << n;
      }
      EXPECT_EQ(tree_ids(table, name), numeric) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace vostrel
