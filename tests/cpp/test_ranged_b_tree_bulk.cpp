// The ranged B-tree's batch operations, the shape of the trees that writes leave, and what a
// failed allocation leaves behind: each write is checked against a std::set model.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <numeric>
#include <random>
#include <vector>

#include "test_support.hpp"
#include "tree_test_support.hpp"

namespace vostrel {
namespace {

using namespace tree_test;

template <class T>
class TreeBulkAt : public TreeAt<T> {};
TYPED_TEST_SUITE(TreeBulkAt, Capacities, CapacityName);

/// Keys of `count` fresh ids from `first_id` on, under random values.
std::vector<Key128> fresh_keys(std::mt19937_64& rng, Id first_id, std::size_t count, Model& model) {
  std::vector<Key128> keys;
  for (std::size_t i = 0; i < count; ++i) {
    const Id id = first_id + static_cast<Id>(i);
    const NumericValue v = random_value(rng);
    model.insert(v, id);
    keys.push_back(key_of(v, id));
  }
  std::shuffle(keys.begin(), keys.end(), rng);
  return keys;
}

TYPED_TEST(TreeBulkAt, BatchesMatchTheModel) {
  constexpr std::size_t S = TypeParam::value;
  std::mt19937_64 rng(S * 31);
  BasicBitMapBTree<S> tree;
  Model model;
  Id next_id = 0;
  for (int round = 0; round < 60; ++round) {
    // Batches of every size against the tree's: the large ones rebuild, the small ones insert
    // one by one; removals take a share of the held pairs, with absent and repeated keys.
    const std::size_t count = rng() % 3 == 0 ? model.size() + rng() % (4 * S) : rng() % (2 * S + 1);
    tree.insert_many(fresh_keys(rng, next_id, count, model));
    next_id += static_cast<Id>(count);
    ASSERT_NO_FATAL_FAILURE(expect_holds(tree, model)) << "round " << round << " after inserting " << count;
    std::vector<Key128> doomed;
    const std::size_t every = 1 + rng() % 4;
    std::size_t held = 0;
    for (const Key128 k : model.keys())
      if (held++ % every == 0) doomed.push_back(k);
    for (const Key128 k : doomed) {
      const Id id = key_id(k);
      model.remove(model.pairs().at(id), id);
    }
    const std::size_t expected = doomed.size();
    doomed.push_back(key_of(std::int64_t{123456789}, 999999));  // not held
    if (!doomed.empty()) doomed.push_back(doomed.front());        // named twice
    std::shuffle(doomed.begin(), doomed.end(), rng);
    ASSERT_EQ(tree.remove_many(doomed), expected) << "round " << round;
    ASSERT_NO_FATAL_FAILURE(expect_holds(tree, model)) << "round " << round << " after removing";
    expect_query(tree, model, random_bound(rng), random_bound(rng), random_admissible(rng, next_id));
  }
  tree.remove_many(std::vector<Key128>(model.keys().begin(), model.keys().end()));
  EXPECT_EQ(tree.size(), 0u);
  EXPECT_TRUE(tree.root().is_leaf());
  EXPECT_EQ(tree.verify(), std::nullopt);
}

TYPED_TEST(TreeBulkAt, DuplicatesInABatchChangeNothing) {
  constexpr std::size_t S = TypeParam::value;
  std::mt19937_64 rng(S);
  Model model;
  BasicBitMapBTree<S> tree;
  tree.insert_many(fresh_keys(rng, 0, 10 * S, model));
  const std::vector<Key128> before = keys_of(tree);
  // Within the batch, and against the tree, by both the rebuilding and the one-by-one path.
  Model unused;
  std::vector<Key128> twice = fresh_keys(rng, 100000, 3, unused);
  twice.push_back(twice[1]);
  std::vector<Key128> held_small = fresh_keys(rng, 200000, 2, unused);
  held_small.push_back(before[before.size() / 2]);
  std::vector<Key128> held_large = fresh_keys(rng, 300000, 20 * S, unused);
  held_large.push_back(before.back());
  for (const auto& batch : {twice, held_small, held_large}) {
    EXPECT_EQ(test::fatal_text([&] { tree.insert_many(batch); }), "Duplicate ID and key insert");
    ASSERT_NO_FATAL_FAILURE(expect_holds(tree, model));
  }
}

/// Node counts and key totals by level, leaves first.
template <std::size_t S>
void census(const BasicBitMapBTreeNode<S>& node, std::vector<std::size_t>& nodes, std::vector<std::size_t>& entries) {
  if (nodes.size() <= node.level) nodes.resize(node.level + 1), entries.resize(node.level + 1);
  ++nodes[node.level];
  entries[node.level] += node.len;
  if (!node.is_leaf())
    for (std::size_t i = 0; i < node.len; ++i) census(node.child_at(i), nodes, entries);
}

TEST(BitMapBTreeShape, BulkBuildsFillNodesToThreeQuarters) {
  std::mt19937_64 rng(5);
  Model model;
  BitMapBTree tree;
  tree.insert_many(fresh_keys(rng, 0, 100000, model));
  ASSERT_NO_FATAL_FAILURE(expect_holds(tree, model));
  std::vector<std::size_t> nodes, entries;
  census(tree.root(), nodes, entries);
  ASSERT_EQ(nodes.size(), 3u);
  for (std::size_t level = 0; level + 1 < nodes.size(); ++level) {
    // As many nodes as three quarters full takes, the entries spread evenly over them.
    EXPECT_EQ(nodes[level], (entries[level] + 71) / 72) << "level " << level;
    EXPECT_EQ(entries[level + 1], nodes[level]);
  }
}

TEST(BitMapBTreeShape, IdsArrivingInOrderLeaveFullLeaves) {
  // Ids handed out in ascending order under ascending values fill their leaves; under values
  // that repeat more often than a leaf holds, most of each leaf; otherwise as random keys do.
  const struct {
    const char* name;
    std::function<NumericValue(Id, std::mt19937_64&)> value;
    double min_fill;
  } cases[] = {
      {"ascending values", [](Id id, std::mt19937_64&) { return NumericValue(static_cast<std::int64_t>(id)); }, 0.95},
      {"100 values", [](Id, std::mt19937_64& rng) { return NumericValue(static_cast<std::int64_t>(rng() % 100)); }, 0.8},
      {"10000 values", [](Id, std::mt19937_64& rng) { return NumericValue(static_cast<std::int64_t>(rng() % 10000)); }, 0.6},
      {"1000 values", [](Id, std::mt19937_64& rng) { return NumericValue(static_cast<std::int64_t>(rng() % 1000)); }, 0.6},
      {"random values", [](Id, std::mt19937_64& rng) { return NumericValue(static_cast<double>(rng())); }, 0.6},
  };
  for (const auto& c : cases) {
    std::mt19937_64 rng(9);
    BitMapBTree tree;
    for (Id id = 0; id < 50000; ++id) tree.insert(c.value(id, rng), id);
    ASSERT_EQ(tree.verify(), std::nullopt) << c.name;
    std::vector<std::size_t> nodes, entries;
    census(tree.root(), nodes, entries);
    const double fill = static_cast<double>(entries[0]) / static_cast<double>(nodes[0] * (kNodeSlots - 1));
    EXPECT_GE(fill, c.min_fill) << c.name;
  }
}

// Answers are assembled differently by how densely their ids fill the id space and how much
// of it is admissible: bitmaps united as they are, ids marked against the admissible ones, ids
// sorted with or without an intersection. Each id layout below leads queries down every one,
// in a tree built one key at a time and in one built at once.
TEST(BitMapBTree, AnswersMatchTheModelWhateverTheIdLayout) {
  struct Layout {
    const char* name;
    std::function<Id(std::size_t rank, std::mt19937_64&)> id;  // id of the rank-th smallest value
  };
  constexpr std::size_t kKeys = 40000;
  const Layout layouts[] = {
      {"ids following values", [](std::size_t rank, std::mt19937_64&) { return static_cast<Id>(rank + 1); }},
      {"ids spread over 256 chunks",
       [](std::size_t rank, std::mt19937_64& rng) { return static_cast<Id>((rng() % (1u << 24)) & ~Id{0xff}) | static_cast<Id>(rank % 256); }},
      {"ids at the top of the id space",
       [](std::size_t rank, std::mt19937_64&) { return std::numeric_limits<Id>::max() - static_cast<Id>(rank); }},
  };
  for (const Layout& layout : layouts) {
    for (const bool bulk : {false, true}) {
      SCOPED_TRACE(std::string(layout.name) + (bulk ? ", built at once" : ", built one by one"));
      std::mt19937_64 rng(7);
      Model model;
      std::vector<Id> ids;
      for (std::size_t rank = 0; rank < kKeys; ++rank) {
        const Id id = layout.id(rank, rng);
        if (model.holds_id(id)) continue;
        ids.push_back(id);
        model.insert(static_cast<std::int64_t>(rank), id);
      }
      // Inserted in random order, so the leaves fill unevenly.
      std::vector<Key128> order(model.keys().begin(), model.keys().end());
      std::shuffle(order.begin(), order.end(), rng);
      BitMapBTree tree;
      if (bulk)
        tree.insert_many(order);
      else
        for (const Key128 k : order) tree.insert_key(k);
      ASSERT_EQ(tree.verify(), std::nullopt);

      Bitmap every = Bitmap::of(ids);
      Bitmap sparse;   // one id in 50
      Bitmap dense;    // all but one id in 50
      Bitmap outside;  // ids the tree does not hold
      for (std::size_t i = 0; i < ids.size(); ++i) (i % 50 == 0 ? sparse : dense).add(ids[i]);
      for (Id i = 0; i < 100; ++i)
        if (!model.holds_id(i * 977)) outside.add(i * 977);
      const std::pair<const char*, const Bitmap*> admits[] = {
          {"every id", &every}, {"one in 50", &sparse}, {"49 in 50", &dense}, {"none held", &outside}};
      const std::int64_t widths[] = {0, 3, 150, 2000, 15000, static_cast<std::int64_t>(kKeys)};
      for (const auto& [admit_name, admissible] : admits) {
        SCOPED_TRACE(admit_name);
        for (const std::int64_t width : widths) {
          for (int q = 0; q < 6; ++q) {
            const auto lo = static_cast<std::int64_t>(rng() % kKeys) - width / 2;
            const Bound lower = q == 5 ? Bound::unbounded() : Bound::included(lo);
            const Bound upper = q == 4 ? Bound::unbounded() : Bound::excluded(lo + width + 1);
            expect_query(tree, model, lower, upper, *admissible);
            if (testing::Test::HasFatalFailure()) FAIL() << "width " << width << " from " << lo;
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Failed allocations

/// Runs `write` with the n-th allocation failing, for n = 1, 2, ... until it succeeds; after
/// each failure the tree must hold what it held before, and be sound.
template <std::size_t S>
void fail_each_allocation(BasicBitMapBTree<S>& tree, const std::function<void()>& write) {
  const std::vector<Key128> before = keys_of(tree);
  for (long n = 1;; ++n) {
    bool failed = false;
    try {
      test::FailingAllocations fail_nth(n - 1, /*persistent=*/false);
      write();
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    if (!failed) return;
    ASSERT_EQ(tree.verify(), std::nullopt) << "allocation " << n;
    ASSERT_EQ(keys_of(tree), before) << "allocation " << n;
    ASSERT_EQ(tree.size(), before.size());
  }
}

TYPED_TEST(TreeBulkAt, AFailedAllocationLeavesTheTreeAsItWas) {
  constexpr std::size_t S = TypeParam::value;
  std::mt19937_64 rng(S + 3);
  Model model;
  BasicBitMapBTree<S> tree;
  Id next = 0;
  // Insertions into a growing tree meet every kind of split, the root's growth among them.
  for (int i = 0; i < (S < 96 ? 300 : 3000); ++i) {
    const NumericValue v = random_value(rng);
    const Id id = next++;
    fail_each_allocation(tree, [&] { tree.insert(v, id); });
    model.insert(v, id);
    if (i % 64 == 0) {
      // Small batches go in one by one; one a third of the tree's size makes it rebuild.
      const std::size_t count = i % 1024 == 512 ? model.size() / 3 + 1 : 3;
      std::vector<Key128> batch = fresh_keys(rng, next, count, model);
      next += static_cast<Id>(count);
      fail_each_allocation(tree, [&] { tree.insert_many(batch); });
    }
    if (testing::Test::HasFatalFailure()) FAIL() << "step " << i;
  }
  ASSERT_NO_FATAL_FAILURE(expect_holds(tree, model));
  // Removals allocate nothing of their own.
  std::vector<Key128> doomed(model.keys().begin(), model.keys().end());
  doomed.resize(doomed.size() / 2);
  for (const Key128 k : doomed) model.remove(model.pairs().at(key_id(k)), key_id(k));
  const Key128 single = doomed.back();
  doomed.pop_back();
  bool removed = false;
  std::size_t many = 0;
  {
    test::FailingAllocations fail_first(0, /*persistent=*/false);
    removed = tree.remove_key(single);
    many = tree.remove_many(std::move(doomed));
    EXPECT_FALSE(test::FailingAllocations::failed()) << "a removal allocated";
  }
  EXPECT_TRUE(removed);
  EXPECT_GT(many, 0u);
  ASSERT_NO_FATAL_FAILURE(expect_holds(tree, model));
}

}  // namespace
}  // namespace vostrel
