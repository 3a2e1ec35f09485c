// The ranged bitmap B-tree: node layout, insertion, removal and range queries, checked against
// a std::set model at the designed node size and at tiny ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

#include "tree_test_support.hpp"

namespace vostrel {
namespace {

using namespace tree_test;

// ---------------------------------------------------------------------------------------------
// Layout at the designed size

using Geometry96 = NodeGeometry<kNodeSlots>;

TEST(NodeGeometry, DesignedValuesAt96) {
  EXPECT_EQ(Geometry96::kFullLen, 85u);
  EXPECT_EQ(Geometry96::kNewLeafOffset, 48u);
  EXPECT_EQ(Geometry96::kSplitRightOffset, 24u);
  EXPECT_EQ(Geometry96::kNewRootOffset, 48u);
  EXPECT_EQ(Geometry96::kBuildLen, 72u);
  EXPECT_EQ(Geometry96::recenter_target(47), 24u);
  EXPECT_EQ(Geometry96::recenter_target(95), 0u);
}

TEST(BitMapBTree, FirstKeyAtTheMiddleAndRecentredAtTheEnd) {
  BitMapBTree tree;
  tree.insert(std::int64_t{0}, 1);
  const BitMapBTreeNode& leaf = tree.root();
  ASSERT_TRUE(leaf.is_leaf());
  EXPECT_EQ(leaf.offset, 48u);
  EXPECT_TRUE(leaf.keys.has(48));
  for (std::int64_t v = 1; v < 47; ++v) tree.insert(v, static_cast<Id>(v + 1));
  EXPECT_EQ(leaf.offset, 48u);  // ascending keys extend the run to the right: 48..94
  tree.insert(std::int64_t{47}, 48);
  EXPECT_EQ(leaf.len, 48u);
  EXPECT_EQ(leaf.offset, 24u);  // reached slot 95: recentred
  // A key in the left half shifts the shorter left side.
  tree.insert(0.5, 1000);
  EXPECT_EQ(leaf.offset, 23u);
  EXPECT_EQ(key_id(leaf.key_at(1)), 1000u);
  EXPECT_EQ(tree.verify(), std::nullopt);
}

TEST(BitMapBTree, RootSplitsAtTheNinetySixthKeyTowardsWhereKeysArrive) {
  const struct {
    NumericValue extra;
    std::size_t left, right;
    Key128 separator;
  } cases[] = {
      {std::int64_t{1000}, 94, 2, key_of(std::int64_t{94}, 94)},  // at the end: the left stays full
      {std::int64_t{-1}, 2, 94, key_of(std::int64_t{1}, 1)},      // at the start: the right stays full
      {47.5, 47, 49, key_of(std::int64_t{47}, 47)},               // elsewhere: halves
  };
  for (const auto& c : cases) {
    BitMapBTree tree;
    for (std::int64_t v = 0; v < 95; ++v) tree.insert(v, static_cast<Id>(v));
    ASSERT_TRUE(tree.root().is_leaf());
    EXPECT_EQ(tree.root().len, 95u);
    EXPECT_TRUE(tree.root().is_full());
    tree.insert(c.extra, 500);
    const BitMapBTreeNode& root = tree.root();
    ASSERT_EQ(root.level, 1u);
    EXPECT_FALSE(root.has_bitmaps());  // a node just above the leaves reads them instead
    EXPECT_EQ(root.offset, 48u);
    EXPECT_EQ(root.len, 2u);
    EXPECT_EQ(root.child_at(0).len, c.left) << show(c.extra);
    EXPECT_EQ(root.child_at(1).len, c.right) << show(c.extra);
    EXPECT_EQ(root.key_at(1), c.separator);
    EXPECT_EQ(root.key_at(0), key_of(std::int64_t{0}, 0));  // the left's first key
    EXPECT_EQ(tree.verify(), std::nullopt);
  }
}

TEST(BitMapBTree, RepeatedPairIsRefusedAndChangesNothing) {
  for (const Id count : {3u, 400u}) {
    BitMapBTree tree;
    for (Id id = 0; id < count; ++id) tree.insert(std::int64_t{5}, id);
    const std::vector<Key128> before = keys_of(tree);
    EXPECT_EQ(test::fatal_text([&] { tree.insert(5.0, count / 2); }), "Duplicate ID and key insert");
    EXPECT_EQ(keys_of(tree), before);
    EXPECT_EQ(tree.verify(), std::nullopt);
  }
}

// ---------------------------------------------------------------------------------------------
// Every capacity

TYPED_TEST_SUITE(TreeAt, Capacities, CapacityName);

TYPED_TEST(TreeAt, RandomOperationsMatchTheModel) {
  constexpr std::size_t S = TypeParam::value;
  constexpr Id kMaxId = S < 96 ? 400 : 1500;
  constexpr int kSteps = S < 96 ? 2500 : 3500;
  for (const std::uint64_t seed : {1u, 2u}) {
    std::mt19937_64 rng(seed * 1000 + S);
    BasicBitMapBTree<S> tree;
    Model model;
    for (int step = 0; step < kSteps; ++step) {
      // Grow, then mostly shrink (emptying leaves), then mix.
      const unsigned insert_share = step < kSteps / 2 ? 75 : step < 3 * kSteps / 4 ? 20 : 50;
      const unsigned r = static_cast<unsigned>(rng() % 100);
      if (r < insert_share) {
        const Id id = static_cast<Id>(rng() % (kMaxId + 1));
        if (model.holds_id(id)) continue;
        const NumericValue v = random_value(rng);
        tree.insert(v, id);
        model.insert(v, id);
      } else if (r < insert_share + (100 - insert_share) * 3 / 4) {
        Id id = static_cast<Id>(rng() % (kMaxId + 1));
        NumericValue v = random_value(rng);
        if (rng() % 5 != 0 && model.size() > 0) {
          auto it = model.pairs().lower_bound(id);
          if (it == model.pairs().end()) it = model.pairs().begin();
          id = it->first;
          v = it->second;
          // The same pair, named by the double of equal value.
          if (const auto* n = std::get_if<std::int64_t>(&v); n && rng() % 3 == 0 && *n > -(1LL << 53) && *n < (1LL << 53))
            v = static_cast<double>(*n);
        }
        const bool expected = model.remove(v, id);
        ASSERT_EQ(tree.remove(v, id), expected) << "step " << step;
      } else {
        expect_query(tree, model, random_bound(rng), random_bound(rng), random_admissible(rng, kMaxId));
        if (testing::Test::HasFatalFailure()) FAIL() << "seed " << seed << " step " << step;
      }
      const auto problem = tree.verify();
      ASSERT_EQ(problem, std::nullopt) << "seed " << seed << " step " << step;
    }
    expect_holds(tree, model);
    expect_query(tree, model, Bound::unbounded(), Bound::unbounded(), all_ids(kMaxId));
  }
}

TYPED_TEST(TreeAt, KeyWalksAndIdsFollowInsertionsAndRemovals) {
  constexpr std::size_t S = TypeParam::value;
  constexpr Id kMaxId = 300;
  std::mt19937_64 rng(77 + S);
  BasicBitMapBTree<S> tree;
  Model model;
  for (int step = 0; step < 900; ++step) {
    const Id id = static_cast<Id>(rng() % (kMaxId + 1));
    if (auto it = model.pairs().find(id); it != model.pairs().end()) {
      if (rng() % 3 == 0) {
        const NumericValue v = it->second;
        model.remove(v, id);
        tree.remove(v, id);
      }
    } else {
      const NumericValue v = random_value(rng);
      tree.insert(v, id);
      model.insert(v, id);
    }
    if (step % 100 != 99) continue;
    expect_holds(tree, model);
    std::vector<Id> ids;
    for (const auto& [held, v] : model.pairs()) ids.push_back(held);
    ASSERT_EQ(tree.ids().to_vector(), ids) << "step " << step;
    // Walks from either end stop where asked.
    const std::vector<Key128> ascending(model.keys().begin(), model.keys().end());
    for (const bool descending : {false, true}) {
      const std::size_t want = static_cast<std::size_t>(rng() % (ascending.size() + 2));
      std::vector<Key128> walked;
      tree.walk(descending, [&](Key128 k) {
        walked.push_back(k);
        return walked.size() < want;
      });
      std::vector<Key128> expected = ascending;
      if (descending) std::reverse(expected.begin(), expected.end());
      expected.resize(std::min(std::max<std::size_t>(want, 1), expected.size()));
      ASSERT_EQ(walked, expected) << "step " << step << (descending ? " descending" : " ascending");
    }
  }
  BasicBitMapBTree<S> empty;
  std::size_t calls = 0;
  empty.for_each_key([&](Key128) { ++calls; });
  empty.walk(true, [&](Key128) { return ++calls > 0; });
  EXPECT_EQ(calls, 0u);
  EXPECT_TRUE(empty.ids().is_empty());
  EXPECT_EQ(empty.size(), 0u);
}

TYPED_TEST(TreeAt, OrderedInsertionsKeepTheInvariants) {
  constexpr std::size_t S = TypeParam::value;
  constexpr Id kCount = S < 96 ? 600 : 6000;
  struct Order {
    const char* name;
    std::function<NumericValue(Id)> value;
  };
  const Order orders[] = {
      {"ascending", [](Id i) { return NumericValue(static_cast<std::int64_t>(i)); }},
      {"descending", [](Id i) { return NumericValue(-static_cast<double>(i)); }},
      {"one value", [](Id) { return NumericValue(std::int64_t{5}); }},
      {"seven values", [](Id i) { return NumericValue(static_cast<std::int64_t>(i * 7919 % 7)); }},
  };
  for (const auto& order : orders) {
    BasicBitMapBTree<S> tree;
    Model model;
    for (Id i = 0; i < kCount; ++i) {
      // Ids run against the value order for the descending case.
      const Id id = order.name[0] == 'd' ? kCount - i : i;
      tree.insert(order.value(i), id);
      model.insert(order.value(i), id);
      if (i % (S < 96 ? 7 : 250) == 0) {
        ASSERT_EQ(tree.verify(), std::nullopt) << order.name << " " << i;
      }
    }
    expect_holds(tree, model);
    const Bitmap every = all_ids(kCount);
    const NumericValue probes[] = {std::int64_t{5}, 5.0, std::int64_t{-300}, 299.5, std::int64_t{kCount}};
    for (const auto& a : probes)
      for (const auto& b : probes) {
        expect_query(tree, model, Bound::included(a), Bound::excluded(b), every);
        expect_query(tree, model, Bound::excluded(a), Bound::included(b), every);
      }
    expect_query(tree, model, Bound::unbounded(), Bound::unbounded(), every);
  }
}

/// Ids 1, 2, 3 under 10, 20, 30 among many other ids with nearby values, so that at small
/// capacities the three sit in different children and are often answered from bitmaps.
template <std::size_t S>
BasicBitMapBTree<S> three_in_a_crowd(const NumericValue& twenty) {
  BasicBitMapBTree<S> tree;
  Id filler = 100;
  for (std::int64_t quarter = 0; quarter <= 160; ++quarter) {
    tree.insert(static_cast<double>(quarter) / 4, filler++);
    if (quarter % 8 == 0) tree.insert(quarter / 4, filler++);
  }
  tree.insert(std::int64_t{10}, 1);
  tree.insert(twenty, 2);
  tree.insert(std::int64_t{30}, 3);
  return tree;
}

TYPED_TEST(TreeAt, BoundFormsSelectTheRightIds) {
  constexpr std::size_t S = TypeParam::value;
  const struct {
    Bound lo, hi;
    std::vector<Id> want;
  } cases[] = {
      {Bound::excluded(std::int64_t{20}), Bound::unbounded(), {3}},
      {Bound::included(std::int64_t{20}), Bound::unbounded(), {2, 3}},
      {Bound::unbounded(), Bound::excluded(std::int64_t{20}), {1}},
      {Bound::unbounded(), Bound::included(std::int64_t{20}), {1, 2}},
      {Bound::included(std::int64_t{10}), Bound::included(std::int64_t{20}), {1, 2}},
      {Bound::excluded(std::int64_t{10}), Bound::excluded(std::int64_t{30}), {2}},
      {Bound::unbounded(), Bound::unbounded(), {1, 2, 3}},
      {Bound::included(std::int64_t{30}), Bound::included(std::int64_t{10}), {}},
      {Bound::excluded(std::int64_t{20}), Bound::included(std::int64_t{20}), {}},
      {Bound::included(19.75), Bound::included(20.25), {2}},
  };
  // An integer bound and a double bound of equal value select the same keys.
  auto as_double = [](const Bound& b) {
    Bound d = b;
    if (const auto* n = std::get_if<std::int64_t>(&b.value)) d.value = static_cast<double>(*n);
    return d;
  };
  for (const NumericValue twenty : {NumericValue(std::int64_t{20}), NumericValue(20.0)}) {
    const BasicBitMapBTree<S> tree = three_in_a_crowd<S>(twenty);
    ASSERT_EQ(tree.verify(), std::nullopt);
    const Bitmap admissible = Bitmap::of({1, 2, 3});
    const Bitmap without_two = Bitmap::of({1, 3});
    for (const auto& c : cases) {
      for (const auto& [lo, hi] : {std::pair{c.lo, c.hi}, std::pair{as_double(c.lo), as_double(c.hi)}}) {
        EXPECT_EQ(ids_of(tree.query_range(lo, hi, admissible)), c.want) << show(twenty);
        std::vector<Id> want = c.want;
        std::erase(want, 2u);
        EXPECT_EQ(ids_of(tree.query_range(lo, hi, without_two)), want) << show(twenty);
        EXPECT_TRUE(tree.query_range(lo, hi, Bitmap()).is_empty());
      }
    }
  }
}

TYPED_TEST(TreeAt, ManyIdsUnderOneValue) {
  constexpr std::size_t S = TypeParam::value;
  BasicBitMapBTree<S> tree;
  for (Id id = 0; id < 300; ++id) tree.insert(id % 2 ? NumericValue(std::int64_t{5}) : NumericValue(5.0), id);
  tree.insert(std::int64_t{4}, 1000);
  tree.insert(std::int64_t{6}, 1001);
  ASSERT_EQ(tree.verify(), std::nullopt);
  const Bitmap every = all_ids(1001);
  std::vector<Id> fives(300);
  std::iota(fives.begin(), fives.end(), 0u);
  const NumericValue five = std::int64_t{5};
  EXPECT_EQ(ids_of(tree.query_range(Bound::included(five), Bound::included(five), every)), fives);
  EXPECT_EQ(ids_of(tree.query_range(Bound::excluded(five), Bound::unbounded(), every)), std::vector<Id>{1001});
  EXPECT_EQ(ids_of(tree.query_range(Bound::unbounded(), Bound::excluded(five), every)), std::vector<Id>{1000});
  EXPECT_EQ(tree.query_range(Bound::unbounded(), Bound::included(five), every).cardinality(), 301u);
}

TYPED_TEST(TreeAt, RemovalTakesIdsOutOfEveryAnswer) {
  constexpr std::size_t S = TypeParam::value;
  BasicBitMapBTree<S> tree = three_in_a_crowd<S>(std::int64_t{20});
  const Bitmap every = all_ids(1000);
  EXPECT_TRUE(tree.remove(20.0, 2));  // the double 20.0 names the same pair as the integer 20
  EXPECT_FALSE(tree.remove(std::int64_t{20}, 2));
  ASSERT_EQ(tree.verify(), std::nullopt);
  auto holds_two = [&](const Bound& lo, const Bound& hi) { return tree.query_range(lo, hi, every).contains(2); };
  EXPECT_FALSE(holds_two(Bound::unbounded(), Bound::unbounded()));
  EXPECT_FALSE(holds_two(Bound::included(std::int64_t{0}), Bound::included(std::int64_t{40})));
  EXPECT_FALSE(holds_two(Bound::included(std::int64_t{20}), Bound::included(std::int64_t{20})));
  tree.insert(std::int64_t{25}, 2);
  ASSERT_EQ(tree.verify(), std::nullopt);
  EXPECT_TRUE(holds_two(Bound::unbounded(), Bound::unbounded()));
  EXPECT_TRUE(holds_two(Bound::included(std::int64_t{25}), Bound::included(std::int64_t{25})));
  EXPECT_TRUE(holds_two(Bound::excluded(std::int64_t{20}), Bound::excluded(std::int64_t{30})));
  EXPECT_FALSE(holds_two(Bound::included(std::int64_t{0}), Bound::included(std::int64_t{24})));
  EXPECT_FALSE(holds_two(Bound::excluded(std::int64_t{25}), Bound::unbounded()));
  EXPECT_FALSE(holds_two(Bound::unbounded(), Bound::excluded(std::int64_t{25})));
}

TYPED_TEST(TreeAt, EmptiedSubtreesAreFreedAndFillAgain) {
  constexpr std::size_t S = TypeParam::value;
  const Bitmap every = all_ids(50 * S);
  // A single leaf root stays, empty.
  BasicBitMapBTree<S> leaf_tree;
  for (Id id = 0; id < S / 2; ++id) leaf_tree.insert(static_cast<std::int64_t>(id), id);
  for (Id id = 0; id < S / 2; ++id) EXPECT_TRUE(leaf_tree.remove(static_cast<std::int64_t>(id), id));
  ASSERT_EQ(leaf_tree.verify(), std::nullopt);
  EXPECT_EQ(leaf_tree.root().len, 0u);
  EXPECT_TRUE(leaf_tree.query_range(Bound::unbounded(), Bound::unbounded(), every).is_empty());
  leaf_tree.insert(std::int64_t{1}, 1);
  EXPECT_EQ(ids_of(leaf_tree.query_range(Bound::unbounded(), Bound::unbounded(), every)), std::vector<Id>{1});

  // The lowest values of a deeper tree: their leaves go, and the tree's memory with them.
  BasicBitMapBTree<S> tree;
  Model model;
  for (Id id = 0; id < 40 * S; ++id) {
    tree.insert(static_cast<std::int64_t>(id), id);
    model.insert(static_cast<std::int64_t>(id), id);
  }
  const std::size_t full_bytes = tree.memory_bytes();
  for (Id id = 0; id < 30 * S; ++id) {
    ASSERT_TRUE(tree.remove(static_cast<std::int64_t>(id), id));
    model.remove(static_cast<std::int64_t>(id), id);
  }
  expect_holds(tree, model);  // verify() refuses an empty leaf below the root
  EXPECT_LT(tree.memory_bytes() * 2, full_bytes);
  const Bound low = Bound::unbounded(), high = Bound::excluded(static_cast<std::int64_t>(30 * S));
  EXPECT_TRUE(tree.query_range(low, high, every).is_empty());
  for (Id id = 0; id < 30 * S; id += 2) {
    tree.insert(static_cast<double>(id) + 0.5, id);
    model.insert(static_cast<double>(id) + 0.5, id);
  }
  expect_holds(tree, model);
  expect_query(tree, model, low, high, every);
  // Everything goes: the root collapses to one empty leaf.
  for (const auto& [id, v] : std::map<Id, NumericValue>(model.pairs())) ASSERT_TRUE(tree.remove(v, id));
  ASSERT_EQ(tree.verify(), std::nullopt);
  EXPECT_TRUE(tree.root().is_leaf());
  EXPECT_EQ(tree.size(), 0u);
}

template <std::size_t S>
void collect_prefixes(const BasicBitMapBTreeNode<S>& node, std::vector<Key128>& out) {
  if (node.is_leaf()) {
    for (std::size_t i = 0; i < node.len; ++i) out.push_back(key_prefix(node.key_at(i)));
  } else {
    for (std::size_t i = 0; i < node.len; ++i) collect_prefixes(node.child_at(i), out);
  }
}

TYPED_TEST(TreeAt, KeyIndexSplitsChildrenAtTheBound) {
  constexpr std::size_t S = TypeParam::value;
  std::mt19937_64 rng(S + 7);
  BasicBitMapBTree<S> tree;
  // Few values, so that each spans several children of the root.
  for (Id id = 0; id < 40 * S; ++id) tree.insert(static_cast<std::int64_t>(rng() % 4), id);
  const auto& root = tree.root();
  ASSERT_FALSE(root.is_leaf());
  std::vector<std::vector<Key128>> below(root.len);
  for (std::size_t i = 0; i < root.len; ++i) collect_prefixes(root.child_at(i), below[i]);
  // Lower modes: children before the answer hold only keys below the bound, children after
  // it only keys within it. Upper modes: before it only keys within, after it only beyond.
  const struct {
    KeyIndexMode mode;
    std::function<bool(Key128, Key128)> inside;  // key prefix, bound prefix
    bool lower;
  } modes[] = {
      {KeyIndexMode::kLowerIncluded, [](Key128 p, Key128 b) { return p >= b; }, true},
      {KeyIndexMode::kLowerExcluded, [](Key128 p, Key128 b) { return p > b; }, true},
      {KeyIndexMode::kUpperIncluded, [](Key128 p, Key128 b) { return p <= b; }, false},
      {KeyIndexMode::kUpperExcluded, [](Key128 p, Key128 b) { return p < b; }, false},
  };
  for (const double v : {-1.0, 0.0, 1.0, 1.5, 2.0, 3.0, 4.0}) {
    const Key128 b = ordered_prefix(v);
    for (const auto& m : modes) {
      const std::size_t c = root.get_key_index(v, m.mode);
      ASSERT_LT(c, root.len);
      for (std::size_t i = 0; i < root.len; ++i) {
        if (i == c) continue;
        for (Key128 p : below[i])
          ASSERT_EQ(m.inside(p, b), (i < c) != m.lower) << "value " << v << " mode " << int(m.mode) << " child " << i;
      }
    }
  }
}

TYPED_TEST(TreeAt, RangeQueriesFollowOnlyTheBoundaryPaths) {
  constexpr std::size_t S = TypeParam::value;
  constexpr Id kCount = S < 96 ? 3000 : 40000;
  std::mt19937_64 rng(S);
  std::vector<Id> ids(kCount);
  std::iota(ids.begin(), ids.end(), 0u);
  std::shuffle(ids.begin(), ids.end(), rng);
  BasicBitMapBTree<S> incremental;
  for (Id i = 0; i < kCount; ++i) incremental.insert(static_cast<std::int64_t>(ids[i]), ids[i]);
  BasicBitMapBTree<S> bulk;
  std::vector<Key128> keys;
  for (const Id id : ids) keys.push_back(key_of(static_cast<std::int64_t>(id), id));
  bulk.insert_many(keys);
  const Bitmap every = all_ids(kCount);
  for (const BasicBitMapBTree<S>* tree : {&incremental, &bulk}) {
    ASSERT_EQ(tree->verify(), std::nullopt);
    for (int q = 0; q < 50; ++q) {
      const auto a = static_cast<std::int64_t>(rng() % kCount);
      const auto b = static_cast<std::int64_t>(rng() % kCount);
      const auto lo = std::min(a, b), hi = std::max(a, b);
      RangeQueryTrace trace;
      const Bitmap got = tree->query_range(Bound::included(lo), Bound::included(hi), every, &trace);
      ASSERT_EQ(got.cardinality(), static_cast<std::uint64_t>(hi - lo + 1));
      ASSERT_GE(trace.nodes_per_depth.size(), 3u);  // at least two internal levels
      for (std::size_t n : trace.nodes_per_depth) ASSERT_LE(n, 2u);
      // Each child strictly between the boundary paths costs one bitmap, or a leaf's keys just
      // above the leaves: at most a node's worth per boundary node.
      ASSERT_LE(trace.children_from_bitmaps + trace.leaves_read_whole, 2 * S * trace.nodes_per_depth.size());
      if (hi - lo > static_cast<std::int64_t>(kCount / 2)) {
        EXPECT_GT(trace.children_from_bitmaps, 0u);
      }
    }
  }
}

TYPED_TEST(TreeAt, RemovedSeparatorPairCanReturn) {
  constexpr std::size_t S = TypeParam::value;
  BasicBitMapBTree<S> tree;
  std::mt19937_64 rng(S);
  for (Id id = 0; id < 4 * S; ++id) tree.insert(static_cast<std::int64_t>(rng() % 1000), id);
  const auto& root = tree.root();
  ASSERT_FALSE(root.is_leaf());
  const Key128 separator = root.key_at(1);
  // Storing the separator's pair again is a duplicate.
  EXPECT_EQ(test::fatal_text([&] { tree.insert_key(separator); }), "Duplicate ID and key insert");
  // Once removed, the pair is absent although its separator stays; it can be stored again.
  ASSERT_TRUE(tree.remove_key(separator));
  tree.insert_key(separator);
  ASSERT_EQ(tree.verify(), std::nullopt);
  const Bitmap just = Bitmap::of({key_id(separator)});
  EXPECT_EQ(ids_of(tree.query_range(Bound::unbounded(), Bound::unbounded(), just)), std::vector<Id>{key_id(separator)});
  EXPECT_TRUE(tree.remove_key(separator));
  EXPECT_FALSE(tree.remove_key(separator));
  ASSERT_EQ(tree.verify(), std::nullopt);
}

TYPED_TEST(TreeAt, RemovedSeparatorPairReturnsThroughASplit) {
  constexpr std::size_t S = TypeParam::value;
  // Grow ascending keys until a child of the root is a full internal node.
  BasicBitMapBTree<S> tree;
  const BasicBitMapBTreeNode<S>* full = nullptr;
  for (Id id = 0; !full; ++id) {
    tree.insert(static_cast<std::int64_t>(id), id);
    const auto& root = tree.root();
    if (root.is_leaf()) continue;
    for (std::size_t i = 0; i < root.len && !full; ++i)
      if (const auto& n = root.child_at(i); !n.is_leaf() && n.is_full()) full = &n;
  }
  // Its middle separator becomes the separator of the split that re-adding the pair causes.
  const Key128 middle = full->key_at(full->len / 2);
  ASSERT_TRUE(tree.remove_key(middle));
  tree.insert_key(middle);
  ASSERT_EQ(tree.verify(), std::nullopt);
  EXPECT_EQ(ids_of(tree.query_range(Bound::unbounded(), Bound::unbounded(), Bitmap::of({key_id(middle)}))),
            std::vector<Id>{key_id(middle)});
  EXPECT_TRUE(tree.remove_key(middle));
}

TYPED_TEST(TreeAt, CloneIsDeepAndMovesKeepTheTree) {
  constexpr std::size_t S = TypeParam::value;
  BasicBitMapBTree<S> tree;
  for (Id id = 0; id < 10 * S; ++id) tree.insert(static_cast<std::int64_t>(id % 17), id);
  BasicBitMapBTree<S> copy = tree.clone();
  ASSERT_EQ(copy.verify(), std::nullopt);
  const Bitmap every = all_ids(10 * S - 1);
  EXPECT_EQ(copy.query_range(Bound::unbounded(), Bound::unbounded(), every), every);
  ASSERT_TRUE(copy.remove(std::int64_t{3}, 3));
  EXPECT_TRUE(tree.query_range(Bound::unbounded(), Bound::unbounded(), every).contains(3));
  BasicBitMapBTree<S> moved = std::move(tree);
  ASSERT_EQ(moved.verify(), std::nullopt);
  EXPECT_EQ(moved.query_range(Bound::unbounded(), Bound::unbounded(), every), every);
}

}  // namespace
}  // namespace vostrel
