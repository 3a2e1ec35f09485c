// The per-attribute value map: insert, remove_id with check_prune, and move, against maps built by
// insertion and against a seeded model; failures part way leave a map as it was.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "index/query_map.hpp"
#include "test_support.hpp"

namespace vostrel {
namespace {

using test::float_value;
using test::int_value;
using test::map_text;
using test::other_value;
using test::str_value;

std::vector<Id> ids_of(const QueryMap& map, const PyValue& v) {
  const HybridSet* set = map.find(v.hash());
  return set ? set->to_vector() : std::vector<Id>{};
}

/// The text of a map built by inserting each pair into an empty one.
std::string text_of(std::initializer_list<std::pair<const PyValue*, Id>> pairs) {
  QueryMap map;
  for (const auto& [value, id] : pairs) map.insert(*value, id);
  return map_text(map);
}

TEST(QueryMap, InsertGroupsByHashAndKeepsNumbersInTheTree) {
  QueryMap map;
  const PyValue seven = int_value(7), one = int_value(1), one_f = float_value(1.0), s = str_value("s");
  for (Id id = 1; id <= 5; ++id) map.insert(seven, id);
  map.insert(seven, 5);  // a held pair changes nothing
  map.insert(one, 6);
  map.insert(one_f, 7);
  map.insert(s, 8);
  EXPECT_TRUE(map.find(seven.hash())->is_large()) << "the fifth id";
  EXPECT_EQ(ids_of(map, seven), (std::vector<Id>{1, 2, 3, 4, 5}));
  EXPECT_EQ(ids_of(map, one_f), (std::vector<Id>{6, 7})) << "1 and 1.0 share a set";
  EXPECT_EQ(map.range_tree.ids().to_vector(), (std::vector<Id>{1, 2, 3, 4, 5, 6, 7})) << "strings stay out";
  EXPECT_EQ(map.holders.to_vector(), (std::vector<Id>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(map.verify(), std::nullopt);
}

TEST(QueryMap, EntriesStayUntilPruned) {
  QueryMap map;
  const PyValue five = int_value(5), six = int_value(6), absent = int_value(8);
  map.insert(five, 1);
  map.insert(six, 2);
  map.insert(six, 3);
  map.remove_id(absent, 1);  // nothing held: no change
  map.remove_id(six, 1);     // a value the id does not hold: no change
  EXPECT_EQ(ids_of(map, six), (std::vector<Id>{2, 3}));
  map.remove_id(five, 1);
  map.remove_id(six, 2);
  EXPECT_NE(map.find(five.hash()), nullptr) << "emptied, not yet pruned";
  EXPECT_EQ(map.holders.to_vector(), std::vector<Id>{3});
  map.check_prune(five.hash());
  map.check_prune(six.hash());
  EXPECT_EQ(map.find(five.hash()), nullptr);
  EXPECT_EQ(ids_of(map, six), std::vector<Id>{3});
  EXPECT_EQ(map.verify(), std::nullopt);
  EXPECT_EQ(test::fatal_text([&] { map.check_prune(five.hash()); }), "no entry found for key");
}

TEST(QueryMap, MoveChangesOnlyWhereOldAndNewDiffer) {
  struct Case {
    const char* what;
    std::function<PyValue()> old_value, new_value;
    bool others_keep_old;  // id 2 holds the old value too
  };
  const Case cases[] = {
      {"1 to 1.0: one set, one place", [] { return int_value(1); }, [] { return float_value(1.0); }, false},
      {"-1 to -2: one set, a new place", [] { return int_value(-1); }, [] { return int_value(-2); }, true},
      {"1 to True: the tree lets go", [] { return int_value(1); }, [] { return other_value(1); }, false},
      {"True to 1: the tree takes it", [] { return other_value(1); }, [] { return int_value(1); }, true},
      {"number to string", [] { return float_value(2.5); }, [] { return str_value("a"); }, false},
      {"string to number", [] { return str_value("a"); }, [] { return int_value(3); }, true},
      {"string to string", [] { return str_value("a"); }, [] { return str_value("b"); }, false},
      {"NaN to another NaN: new set, one place", [] { return float_value(NAN); }, [] { return float_value(NAN); },
       true},
      {"sole holder of 4 to 5", [] { return int_value(4); }, [] { return int_value(5); }, false},
      {"others keep 4", [] { return int_value(4); }, [] { return int_value(5); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PyValue old_value = c.old_value(), new_value = c.new_value(), other = int_value(40);
    QueryMap map;
    map.insert(old_value, 1);
    if (c.others_keep_old) map.insert(old_value, 2);
    map.insert(other, 3);
    map.move(old_value, new_value, 1);
    ASSERT_EQ(map.verify(), std::nullopt);
    if (c.others_keep_old)
      EXPECT_EQ(map_text(map), text_of({{&new_value, 1}, {&old_value, 2}, {&other, 3}}));
    else
      EXPECT_EQ(map_text(map), text_of({{&new_value, 1}, {&other, 3}}));
  }
}

TEST(QueryMap, VerifyNamesTheDamage) {
  const PyValue a = int_value(1), b = int_value(2);
  const struct {
    const char* reason;
    std::function<void(QueryMap&)> damage;
  } cases[] = {
      {"empty value set of hash 1", [&](QueryMap& m) { m.remove_id(a, 1); }},
      {"id 1 held under two values", [&](QueryMap& m) { m.value_sets.at(b.hash()).add(1); }},
      {"id 3 missing from the holders", [&](QueryMap& m) { m.value_sets.at(b.hash()).add(3); }},
      {"holders hold ids that no value set holds", [&](QueryMap& m) { m.holders.add(9); }},
  };
  for (const auto& c : cases) {
    QueryMap map;
    map.insert(a, 1);
    map.insert(b, 2);
    c.damage(map);
    EXPECT_EQ(map.verify(), c.reason);
  }
}

QueryMap pruned_copy(const QueryMap& map);

// Inserting and moving meet a failed allocation at every point they allocate: the map is then as
// it was. Enough numbers share the map that the tree splits.
TEST(QueryMap, FailuresLeaveTheMapAsItWas) {
  QueryMap map;
  std::vector<PyValue> values;  // id i holds values[i - 1]
  for (Id id = 1; id <= 300; ++id) {
    values.push_back(id % 3 ? int_value(id % 150) : str_value(std::to_string(id % 7)));
    map.insert(values.back(), id);
  }
  const PyValue fresh = int_value(1000), string = str_value("fresh");
  const std::string before = map_text(map);
  auto unchanged = [&](long n) {
    ASSERT_EQ(map.verify(), std::nullopt) << "failure " << n;
    ASSERT_EQ(map_text(map), before) << "failure " << n;
  };
  for (bool persistent : {true, false}) {
    SCOPED_TRACE(persistent ? "persistent" : "single");
    test::fail_each_allocation([&] { map.insert(fresh, 400); }, unchanged, persistent);
    map.remove_id(fresh, 400);
    map.check_prune(fresh.hash());
    for (const auto& [id, to] : {std::pair{Id{3}, &fresh}, {Id{4}, &string}, {Id{5}, &fresh}, {Id{6}, &values[0]}}) {
      test::fail_each_allocation([&] { map.move(values[id - 1], *to, id); }, unchanged, persistent);
      map.move(*to, values[id - 1], id);
      unchanged(-1);
    }
  }
  // A batch as large as the map rebuilds the tree; a failure anywhere leaves the map as it was,
  // and the batch then gives the map that inserting one by one gives; removing it as a batch
  // gives back the map before.
  std::vector<PyValue> batch_values;
  for (Id id = 301; id <= 700; ++id)
    batch_values.push_back(id % 4 ? int_value(id % 90) : str_value(std::to_string(id % 5)));
  std::vector<std::pair<const PyValue*, Id>> batch;
  QueryMap one_by_one = pruned_copy(map);
  for (Id id = 301; id <= 700; ++id) {
    batch.emplace_back(&batch_values[id - 301], id);
    one_by_one.insert(batch_values[id - 301], id);
  }
  for (bool persistent : {true, false}) {
    test::fail_each_allocation([&] { map.insert_many(batch); map.insert_many({}); }, unchanged, persistent);
    ASSERT_EQ(map_text(map), map_text(one_by_one));
    std::vector<Key128> room;
    room.reserve(batch.size());
    map.remove_many(batch, room);  // the batch's own pairs only, whatever else shares their values
    unchanged(-1);
  }
}

// A failed allocation while the tree grows, its root splitting among the rest, leaves it whole.
TEST(QueryMap, FailuresAsTheTreeGrowsLeaveTheMapAsItWas) {
  QueryMap map;
  std::vector<PyValue> values;
  for (std::int64_t n = 0; n < 200; ++n) {
    values.push_back(int_value(n));
    test::fail_each_allocation([&] { map.insert(values.back(), static_cast<Id>(n + 1)); },
                               [&](long k) { ASSERT_EQ(map.range_tree.ids().cardinality(), n) << "inserting " << n << " failure " << k; });
    ASSERT_EQ(map.verify(), std::nullopt);
    if (HasFatalFailure()) return;
  }
}

/// The map without its emptied entries, which wait for check_prune and which verify reports.
QueryMap pruned_copy(const QueryMap& map) {
  QueryMap copy;
  for (const auto& [hash, set] : map.value_sets)
    if (!set.is_empty()) copy.value_sets.emplace(hash, set.clone());
  copy.range_tree = map.range_tree.clone();
  copy.holders = map.holders.clone();
  copy.others = map.others;
  return copy;
}

// Objects holding one value each (ints, floats sharing their hashes, NaNs, strings, other values),
// inserted, moved, removed and pruned in random order against a model of who holds what.
TEST(QueryMap, RandomisedAgainstModel) {
  std::mt19937 rng(20261208);
  std::vector<PyValue> pool;
  for (std::int64_t n = -3; n <= 5; ++n) pool.push_back(int_value(n));
  for (double x : {-1.0, 0.0, 2.0, 2.5, 1e300, double{NAN}, double{NAN}}) pool.push_back(float_value(x));
  for (const char* s : {"a", "b"}) pool.push_back(str_value(s));
  pool.push_back(other_value(1));
  QueryMap map;
  std::map<Id, const PyValue*> held;   // id -> its value
  std::set<std::uint64_t> entries;     // hashes with an entry, possibly empty
  for (int step = 0; step < 4000; ++step) {
    const Id id = 1 + rng() % 24;
    const PyValue& v = pool[rng() % pool.size()];
    auto it = held.find(id);
    switch (rng() % 4) {
      case 0:  // a first value, or the one held again
        if (it != held.end() && !(*it->second == v)) break;
        map.insert(v, id);
        if (it == held.end()) held[id] = &v;
        entries.insert(v.hash());
        break;
      case 1:
        if (it == held.end()) break;
        map.move(*it->second, v, id);
        if (!(*it->second == v) && !std::any_of(held.begin(), held.end(), [&](auto& h) {
              return h.first != id && *h.second == *it->second;
            }))
          entries.erase(it->second->hash());
        it->second = &v;
        entries.insert(v.hash());
        break;
      case 2:
        map.remove_id(it != held.end() ? *it->second : v, id);
        if (it != held.end()) held.erase(it);
        break;
      default:
        if (!entries.contains(v.hash())) break;
        map.check_prune(v.hash());
        if (std::none_of(held.begin(), held.end(), [&](auto& h) { return *h.second == v; })) entries.erase(v.hash());
    }
    ASSERT_EQ(map.value_sets.size(), entries.size()) << "step " << step;
    const QueryMap pruned = pruned_copy(map);
    ASSERT_EQ(pruned.verify(), std::nullopt) << "step " << step;
    QueryMap expected;
    for (const auto& [i, value] : held) expected.insert(*value, i);
    ASSERT_EQ(map_text(pruned), map_text(expected)) << "step " << step;
  }
}

}  // namespace
}  // namespace vostrel
