// The index value, its store, and the index records and updates of indexable objects.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "host_stub.hpp"
#include "index/indexable.hpp"

namespace vostrel {
namespace {

PyValue int_value(std::int64_t n) { return PyValue(SharedHostRef(), CastValue::Int(n), static_cast<std::uint64_t>(n)); }
PyValue str_value(std::uint64_t hash) { return PyValue(SharedHostRef(), CastValue::Str("s"), hash); }

HostObject* fake_object(int i) {
  static char objects[64];
  return reinterpret_cast<HostObject*>(&objects[i]);
}

std::set<Id> ids_under(const QueryMapTable& table, std::string_view name, const PyValue& v) {
  auto it = table.find(AttrName(name));
  if (it == table.end()) return {};
  const HybridSet* set = it->second->find(v);
  if (!set) return {};
  auto ids = set->to_vector();
  return {ids.begin(), ids.end()};
}

/// Ids the attribute's tree holds within [lo, hi].
std::vector<Id> tree_ids(const QueryMap& map, std::int64_t lo, std::int64_t hi) {
  Bitmap all;
  for (Id id = 0; id < 64; ++id) all.add(id);
  return map.range_tree.query_range(Bound::included(lo), Bound::included(hi), all).to_vector();
}

TEST(Index, NewIsEmptyAndClonesShareTableAndStore) {
  Index a = Index::make();
  EXPECT_TRUE(a.query_maps->read()->empty());
  EXPECT_TRUE(a.stored_items->read()->empty());
  EXPECT_TRUE(a.ids.is_empty());
  a.ids.add(3);
  Index b = a.clone();
  a.ids.add(4);
  store_item(*a.stored_items->write(), 4, StoredItem{});
  EXPECT_EQ(b.query_maps, a.query_maps);
  EXPECT_EQ(b.stored_items->read()->size(), 5u);  // shared store sees the new slot
  EXPECT_EQ(b.ids.to_vector(), std::vector<Id>{3});  // own ids
}

TEST(Index, StoreGrowsToTheLargestIdAndReplaces) {
  const long before = test::released_host_refs();
  {
    ItemStore store;
    store_item(store, 1000, StoredItem::adopt(fake_object(0)));
    EXPECT_EQ(store.size(), 1001u);
    EXPECT_EQ(std::count_if(store.begin(), store.end(), [](auto& s) { return static_cast<bool>(s); }), 1);
    store_item(store, 2, StoredItem::adopt(fake_object(1)));
    EXPECT_EQ(store.size(), 1001u);
    store_item(store, 2, StoredItem::adopt(fake_object(1)));
    EXPECT_EQ(test::released_host_refs(), before + 1);  // the replaced item
  }
  EXPECT_EQ(test::released_host_refs(), before + 3);
}

TEST(Index, AddIndexCreatesThenExtendsTheMap) {
  QueryMapTable table;
  _add_index(table, 1, AttrName("size"), int_value(3));
  ASSERT_EQ(table.size(), 1u);
  const QueryMap* first = table.begin()->second.get();
  _add_index(table, 2, AttrName("size"), int_value(4));
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.begin()->second.get(), first);
  EXPECT_EQ(ids_under(table, "size", int_value(4)), std::set<Id>{2});
  EXPECT_EQ(verify_table(table), std::nullopt);
}

// --- update_index ---

struct UpdateCase {
  const char* what;
  bool had_old;
  std::uint64_t old_hash, new_hash;
  std::set<Id> others_under_old;  // further holders of the old value
  bool map_kept_without_new;      // the attribute's map survives the removal
};

TEST(UpdateIndex, MovesTheIdBetweenValues) {
  const UpdateCase cases[] = {
      {"blue to red, others keep blue", true, 10, 20, {8}, true},
      {"sole holder of blue", true, 10, 20, {}, false},
      {"same value again", true, 10, 10, {}, false},
      {"first value of a new attribute", false, 0, 20, {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RwLock<QueryMapTable> lock;
    {
      auto table = lock.write();
      if (c.had_old) _add_index(*table, 1, AttrName("colour"), str_value(c.old_hash));
      for (Id other : c.others_under_old) _add_index(*table, other, AttrName("colour"), str_value(c.old_hash));
    }
    const PyValue old = str_value(c.old_hash);
    update_index(lock.write(), AttrName("colour"), c.had_old ? &old : nullptr, str_value(c.new_hash), 1);
    auto table = lock.read();
    EXPECT_EQ(verify_table(*table), std::nullopt);
    EXPECT_TRUE(ids_under(*table, "colour", str_value(c.new_hash)).count(1));
    if (c.old_hash != c.new_hash) {
      EXPECT_EQ(ids_under(*table, "colour", old), c.others_under_old);
      const QueryMap& map = *table->find(AttrName("colour"))->second;
      EXPECT_EQ(map.find(old) != nullptr, !c.others_under_old.empty());
    }
  }
}

TEST(UpdateIndex, UnderscoreNamesChangeNothingAndReleaseTheLock) {
  RwLock<QueryMapTable> lock;
  update_index(lock.write(), AttrName("_private"), nullptr, int_value(1), 1);
  EXPECT_TRUE(lock.write()->empty());  // the lock was released
}

TEST(UpdateIndex, NumbersMoveInTheTree) {
  RwLock<QueryMapTable> lock;
  _add_index(*lock.write(), 1, AttrName("n"), int_value(5));
  _add_index(*lock.write(), 2, AttrName("n"), int_value(5));
  const PyValue old = int_value(5);
  update_index(lock.write(), AttrName("n"), &old, int_value(9), 1);
  const QueryMap& map = *lock.read()->find(AttrName("n"))->second;
  EXPECT_EQ(tree_ids(map, 5, 5), std::vector<Id>{2});
  EXPECT_EQ(tree_ids(map, 9, 9), std::vector<Id>{1});
}

// --- records ---

TEST(IndexRecords, AddIndexSortsAndDropsDeadAndSentinelRecords) {
  Indexable obj;
  Index a = Index::make(), b = Index::make();
  std::optional<Index> gone = Index::make();
  add_index(obj, IndexMeta{b.query_maps});
  add_index(obj, IndexMeta{gone->query_maps});
  add_index(obj, IndexMeta{a.query_maps});
  add_index(obj, IndexMeta{a.query_maps});  // added twice: two records
  ASSERT_EQ(obj.index_meta.size(), 4u);
  gone.reset();
  add_index(obj, IndexMeta{DEFAULT_INDEX_ARC().query_maps});
  ASSERT_EQ(obj.index_meta.size(), 3u);
  for (std::size_t i = 1; i < obj.index_meta.size(); ++i)
    EXPECT_FALSE(std::less<const void*>{}(obj.index_meta[i].resolve().get(),
                                          obj.index_meta[i - 1].resolve().get()));
  EXPECT_EQ(resolve_distinct(obj).size(), 2u);  // each table once
}

TEST(IndexRecords, RecordsDoNotKeepIndexesAlive) {
  Indexable obj;
  {
    Index a = Index::make();
    add_index(obj, IndexMeta{a.query_maps});
    EXPECT_TRUE(obj.index_meta[0].resolve());
  }
  EXPECT_FALSE(obj.index_meta[0].resolve());
  EXPECT_TRUE(resolve_distinct(obj).empty());
}

TEST(ObjectIds, ConsecutiveAndNeverRepeating) {
  const std::uint64_t saved = GLOBAL_ID_COUNTER.load();
  const Id first = *take_object_id();
  EXPECT_EQ(*take_object_id(), first + 1);
  GLOBAL_ID_COUNTER.store(kLastObjectId);
  EXPECT_EQ(take_object_id(), std::optional<Id>(static_cast<Id>(kLastObjectId)));
  EXPECT_EQ(take_object_id(), std::nullopt);
  EXPECT_EQ(take_object_id(), std::nullopt);  // stays exhausted
  EXPECT_EQ(GLOBAL_ID_COUNTER.load(), kLastObjectId + 1);
  GLOBAL_ID_COUNTER.store(saved + 2);
}

// Assignments applied through update_index keep a table equal to a model of the objects' values.
TEST(UpdateIndex, RandomisedAgainstModel) {
  std::mt19937 rng(7);
  RwLock<QueryMapTable> lock;
  std::map<Id, std::map<std::string, std::int64_t>> objects;  // id -> attribute -> value
  const std::string names[] = {"a", "b", "_c"};
  for (int step = 0; step < 3000; ++step) {
    const Id id = 1 + rng() % 12;
    const std::string& name = names[rng() % 3];
    const std::int64_t n = static_cast<std::int64_t>(rng() % 6);
    auto& attrs = objects[id];
    auto it = attrs.find(name);
    std::optional<PyValue> old;
    if (it != attrs.end()) old = int_value(it->second);
    update_index(lock.write(), AttrName(name), old ? &*old : nullptr, int_value(n), id);
    attrs[name] = n;
    ASSERT_EQ(verify_table(*lock.read()), std::nullopt);
  }
  auto table = lock.read();
  EXPECT_EQ(table->count(AttrName("_c")), 0u);
  for (const std::string name : {"a", "b"}) {
    std::map<std::int64_t, std::set<Id>> expected;
    for (const auto& [id, attrs] : objects)
      if (auto it = attrs.find(name); it != attrs.end()) expected[it->second].insert(id);
    const QueryMap& map = *table->find(AttrName(name))->second;
    std::size_t pairs = 0;
    for (const auto& [value, ids] : expected) {
      EXPECT_EQ(ids_under(*table, name, int_value(value)), ids) << name << "=" << value;
      pairs += ids.size();
    }
    EXPECT_EQ(tree_ids(map, INT64_MIN, INT64_MAX).size(), pairs);
    for (const auto& [value, set] : map.value_sets) EXPECT_FALSE(set.is_empty());  // pruned
  }
}

}  // namespace
}  // namespace vostrel
