// The ranged bitmap B-tree: key encoding, node layout, insertion, removal and range queries,
// checked against a std::set model at the designed node size and at tiny ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/ranged_b_tree.hpp"

namespace vostrel {

/// Reads and damages the internals of a tree.
template <std::size_t S>
struct BitMapBTreePeer {
  static BasicBitMapBTreeNode<S>& root(BasicBitMapBTree<S>& tree) { return tree.root_; }
};

/// Bitmaps print as their ids.
void PrintTo(const Bitmap& b, std::ostream* os) {
  *os << "{";
  const char* sep = "";
  b.for_each([&](Id id) {
    *os << sep << id;
    sep = ", ";
  });
  *os << "}";
}

namespace {

using Words = std::array<std::uint32_t, 3>;
using Limits64 = std::numeric_limits<std::int64_t>;
using LimitsD = std::numeric_limits<double>;

Words prefix_words(const NumericValue& v) {
  const Key128 p = ordered_prefix(v);
  return {static_cast<std::uint32_t>(p >> 64), static_cast<std::uint32_t>(p >> 32),
          static_cast<std::uint32_t>(p)};
}

std::string show(const NumericValue& v) {
  if (const auto* n = std::get_if<std::int64_t>(&v)) return "int " + std::to_string(*n);
  char buf[64];
  std::snprintf(buf, sizeof buf, "double %a", std::get<double>(v));
  return buf;
}

std::vector<Id> ids_of(const Bitmap& b) { return b.to_vector(); }

// ---------------------------------------------------------------------------------------------
// Keys

TEST(CompositeKey128, PrefixWords) {
  const double quiet_nan = LimitsD::quiet_NaN();
  const struct {
    NumericValue value;
    Words words;
  } cases[] = {
      {std::int64_t{1}, {0xbfff8000, 0, 0}},
      {1.0, {0xbfff8000, 0, 0}},
      {std::int64_t{-1}, {0x40007fff, 0xffffffff, 0xffffffff}},
      {0.5, {0xbffe8000, 0, 0}},
      {std::int64_t{3}, {0xc000c000, 0, 0}},
      {std::int64_t{0}, {0x80000000, 0, 0}},
      {0.0, {0x80000000, 0, 0}},
      {-0.0, {0x80000000, 0, 0}},
      {LimitsD::denorm_min(), {0xbbcd8000, 0, 0}},
      {std::nextafter(LimitsD::min(), 0.0), {0xbc00ffff, 0xffffffff, 0xf0000000}},
      {LimitsD::min(), {0xbc018000, 0, 0}},
      {LimitsD::infinity(), {0xc3ff8000, 0, 0}},
      {-LimitsD::infinity(), {0x3c007fff, 0xffffffff, 0xffffffff}},
      {quiet_nan, {0xc3ffc000, 0, 0}},
      {Limits64::min(), {0x3fc17fff, 0xffffffff, 0xffffffff}},
      {std::int64_t{(1LL << 53) + 1}, {0xc0348000, 0, 0x04000000}},
  };
  for (const auto& c : cases) EXPECT_EQ(prefix_words(c.value), c.words) << show(c.value);
}

// Exact order of two non-NaN values: long double holds every int64 and every double exactly.
int exact_compare(const NumericValue& a, const NumericValue& b) {
  auto wide = [](const NumericValue& v) {
    return std::visit([](auto x) { return static_cast<long double>(x); }, v);
  };
  const long double x = wide(a), y = wide(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

TEST(CompositeKey128, PrefixesOrderAsValues) {
  static_assert(std::numeric_limits<long double>::digits >= 64, "needs an exact 64-bit mantissa");
  std::vector<NumericValue> values = {
      std::int64_t{0}, 0.0, -0.0, std::int64_t{1}, std::int64_t{-1}, std::int64_t{3}, 3.0,
      Limits64::max(), Limits64::min(), Limits64::min() + 1, -9223372036854775808.0,
      9223372036854775808.0, std::int64_t{1LL << 53}, std::int64_t{(1LL << 53) + 1},
      std::int64_t{(1LL << 53) - 1}, 9007199254740992.0, 9007199254740994.0,
      -std::int64_t{(1LL << 53) + 1}, -9007199254740992.0, 1.0, std::nextafter(1.0, 2.0),
      std::nextafter(1.0, 0.0), LimitsD::denorm_min(), -LimitsD::denorm_min(), LimitsD::min(),
      std::nextafter(LimitsD::min(), 0.0), -LimitsD::min(), LimitsD::max(), -LimitsD::max(),
      LimitsD::infinity(), -LimitsD::infinity(), 0.5, -0.5, 1e-300, -1e300,
  };
  std::mt19937_64 rng(7);
  for (int i = 0; i < 400; ++i) {
    values.push_back(static_cast<std::int64_t>(rng()) >> (rng() % 64));
    // Any exponent but the one of infinities and NaNs.
    values.push_back(std::bit_cast<double>((rng() & ~(std::uint64_t{0x7ff} << 52)) |
                                           (std::uint64_t{rng() % 2047} << 52)));
  }
  for (const auto& a : values)
    for (const auto& b : values) {
      const Key128 pa = ordered_prefix(a), pb = ordered_prefix(b);
      const int got = pa < pb ? -1 : pa > pb ? 1 : 0;
      ASSERT_EQ(got, exact_compare(a, b)) << show(a) << " vs " << show(b);
    }
}

TEST(CompositeKey128, NansSortBeyondTheInfinities) {
  const double nan = LimitsD::quiet_NaN();
  const double payload_nan = std::bit_cast<double>(std::uint64_t{0x7ff0000000000001});
  EXPECT_GT(ordered_prefix(nan), ordered_prefix(LimitsD::infinity()));
  EXPECT_GT(ordered_prefix(payload_nan), ordered_prefix(LimitsD::infinity()));
  EXPECT_LT(ordered_prefix(-nan), ordered_prefix(-LimitsD::infinity()));
  EXPECT_LT(ordered_prefix(-payload_nan), ordered_prefix(-LimitsD::infinity()));
  EXPECT_GT(ordered_prefix(LimitsD::infinity()), ordered_prefix(Limits64::max()));
  EXPECT_LT(ordered_prefix(-LimitsD::infinity()), ordered_prefix(Limits64::min()));
}

TEST(CompositeKey128, IdSitsBelowThePrefix) {
  const CompositeKey128 a = CompositeKey128::make(std::int64_t{3}, 7);
  const CompositeKey128 b = CompositeKey128::make(3.0, 8);
  EXPECT_EQ(a.prefix(), b.prefix());
  EXPECT_EQ(a.id(), 7u);
  EXPECT_EQ(b.id(), 8u);
  EXPECT_LT(a, b);
  EXPECT_EQ(a.value, NumericValue(std::int64_t{3}));
  EXPECT_EQ(b.value, NumericValue(3.0));
  // The largest id under a value still sorts below the next value.
  EXPECT_LT(CompositeKey128::make(std::int64_t{3}, 0xffffffff), CompositeKey128::make(std::int64_t{4}, 0));
}

// ---------------------------------------------------------------------------------------------
// Layout at the designed size

using Peer = BitMapBTreePeer<kNodeSlots>;
using Geometry96 = NodeGeometry<kNodeSlots>;

TEST(NodeGeometry, DesignedValuesAt96) {
  EXPECT_EQ(Geometry96::kFullLen, 85u);
  EXPECT_EQ(Geometry96::kNewLeafOffset, 48u);
  EXPECT_EQ(Geometry96::kSplitRightOffset, 24u);
  EXPECT_EQ(Geometry96::kNewRootOffset, 48u);
  EXPECT_EQ(Geometry96::recenter_target(47), 24u);
  EXPECT_EQ(Geometry96::recenter_target(95), 0u);
}

TEST(BitMapBTree, FirstKeyAtTheMiddleAndRecentredAtTheEnd) {
  BitMapBTree tree;
  tree.insert(std::int64_t{0}, 1);
  const LeafNode* leaf = tree.root().as_leaf();
  ASSERT_NE(leaf, nullptr);
  EXPECT_EQ(leaf->offset, 48u);
  EXPECT_TRUE(leaf->keys.has(48));
  for (std::int64_t v = 1; v < 47; ++v) tree.insert(v, static_cast<Id>(v + 1));
  EXPECT_EQ(leaf->offset, 48u);  // ascending keys extend the run to the right: 48..94
  tree.insert(std::int64_t{47}, 48);
  EXPECT_EQ(leaf->len, 48u);
  EXPECT_EQ(leaf->offset, 24u);  // reached slot 95: recentred
  // A key in the left half shifts the shorter left side.
  tree.insert(0.5, 1000);
  EXPECT_EQ(leaf->offset, 23u);
  EXPECT_EQ(leaf->key_at(1).id(), 1000u);
  EXPECT_EQ(tree.verify(), std::nullopt);
}

TEST(BitMapBTree, RootSplitsAtTheNinetySixthKey) {
  for (const std::int64_t extra : {-1, 1000}) {
    BitMapBTree tree;
    for (std::int64_t v = 0; v < 95; ++v) tree.insert(v, static_cast<Id>(v));
    const LeafNode* leaf = tree.root().as_leaf();
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->len, 95u);
    EXPECT_TRUE(tree.root().is_full());
    tree.insert(extra, 500);
    const InternalNode* root = tree.root().as_internal();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->offset, 48u);
    EXPECT_EQ(root->len, 2u);
    const LeafNode* left = root->children[48].as_leaf();
    const LeafNode* right = root->children[49].as_leaf();
    ASSERT_TRUE(left && right);
    EXPECT_EQ(left->len, extra < 0 ? 48u : 47u);
    EXPECT_EQ(right->len, extra < 0 ? 48u : 49u);
    EXPECT_EQ(right->offset, 24u);
    EXPECT_EQ(root->keys.get(49), CompositeKey128::make(std::int64_t{47}, 47));  // separator
    EXPECT_EQ(root->keys.get(48), CompositeKey128::make(std::int64_t{0}, 0));    // left's first key
    EXPECT_EQ(root->bitmaps.get(48).cardinality(), left->len);
    EXPECT_EQ(tree.verify(), std::nullopt);
  }
}

TEST(BitMapBTree, RepeatedPairInOneLeafIsStoredTwice) {
  BitMapBTree tree;
  tree.insert(std::int64_t{5}, 9);
  tree.insert(std::int64_t{5}, 9);
  EXPECT_EQ(tree.root().as_leaf()->len, 2u);
  EXPECT_EQ(tree.verify(), std::nullopt);
  EXPECT_EQ(ids_of(tree.query_range(Bound::unbounded(), Bound::unbounded(), Bitmap::of({9}))),
            std::vector<Id>{9});
}

// ---------------------------------------------------------------------------------------------
// Every capacity

template <class T>
class TreeAt : public ::testing::Test {};
using Capacities = ::testing::Types<std::integral_constant<std::size_t, 5>, std::integral_constant<std::size_t, 6>,
                                    std::integral_constant<std::size_t, 8>, std::integral_constant<std::size_t, 12>,
                                    std::integral_constant<std::size_t, 16>, std::integral_constant<std::size_t, 96>>;
struct CapacityName {
  template <class T>
  static std::string GetName(int) {
    return "Slots" + std::to_string(T::value);
  }
};
TYPED_TEST_SUITE(TreeAt, Capacities, CapacityName);

/// The pairs a tree should hold, keyed as the tree keys them; each id at most once.
class Model {
 public:
  void insert(const NumericValue& v, Id id) {
    keys_.insert(CompositeKey128::make(v, id).key);
    value_of_[id] = v;
  }
  bool remove(const NumericValue& v, Id id) {
    if (keys_.erase(CompositeKey128::make(v, id).key) == 0) return false;
    value_of_.erase(id);
    return true;
  }
  bool holds_id(Id id) const { return value_of_.count(id) != 0; }
  const std::map<Id, NumericValue>& pairs() const { return value_of_; }
  std::size_t size() const { return keys_.size(); }

  std::vector<Id> query(const Bound& lo, const Bound& hi, const Bitmap& admissible) const {
    std::vector<Id> out;
    for (Key128 k : keys_) {
      const Key128 p = k >> kIdBits;
      const Id id = static_cast<Id>(k);
      if (lo.kind != Bound::Kind::kUnbounded) {
        const Key128 b = ordered_prefix(lo.value);
        if (lo.kind == Bound::Kind::kIncluded ? p < b : p <= b) continue;
      }
      if (hi.kind != Bound::Kind::kUnbounded) {
        const Key128 b = ordered_prefix(hi.value);
        if (hi.kind == Bound::Kind::kIncluded ? p > b : p >= b) continue;
      }
      if (admissible.contains(id)) out.push_back(id);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::set<Key128> keys_;
  std::map<Id, NumericValue> value_of_;
};

Bitmap all_ids(Id n) {
  Bitmap b;
  for (Id i = 0; i <= n; ++i) b.add(i);
  return b;
}

/// Random values with many repeats, ints and doubles of equal value, and a few extremes.
NumericValue random_value(std::mt19937_64& rng) {
  switch (rng() % 10) {
    case 0: return static_cast<double>(static_cast<std::int64_t>(rng() % 9) - 4);
    case 1: {
      const double extremes[] = {LimitsD::infinity(), -LimitsD::infinity(), -0.0, LimitsD::quiet_NaN(),
                                 -LimitsD::quiet_NaN(), LimitsD::denorm_min(), 1e300, -1e300};
      return extremes[rng() % std::size(extremes)];
    }
    case 2: {
      const std::int64_t extremes[] = {Limits64::min(), Limits64::max(), (1LL << 53) + 1, -(1LL << 53) - 1};
      return extremes[rng() % std::size(extremes)];
    }
    case 3:
    case 4:
    case 5: return static_cast<double>(static_cast<std::int64_t>(rng() % 161) - 80) / 4;
    default: return static_cast<std::int64_t>(rng() % 41) - 20;
  }
}

Bound random_bound(std::mt19937_64& rng) {
  switch (rng() % 5) {
    case 0: return Bound::unbounded();
    case 1:
    case 2: return Bound::included(random_value(rng));
    default: return Bound::excluded(random_value(rng));
  }
}

Bitmap random_admissible(std::mt19937_64& rng, Id max_id) {
  switch (rng() % 4) {
    case 0: return all_ids(max_id);
    case 1: return Bitmap();
    default: {
      Bitmap b;
      const std::uint64_t keep = 1 + rng() % 4;  // keep one id in `keep` on average
      for (Id i = 0; i <= max_id; ++i)
        if (rng() % keep == 0) b.add(i);
      return b;
    }
  }
}

template <std::size_t S>
void expect_query(const BasicBitMapBTree<S>& tree, const Model& model, const Bound& lo, const Bound& hi,
                  const Bitmap& admissible) {
  RangeQueryTrace trace;
  const Bitmap got = tree.query_range(lo, hi, admissible, &trace);
  ASSERT_EQ(ids_of(got), model.query(lo, hi, admissible));
  for (std::size_t depth = 0; depth < trace.nodes_per_depth.size(); ++depth)
    ASSERT_LE(trace.nodes_per_depth[depth], 2u) << "depth " << depth;
}

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
    expect_query(tree, model, Bound::unbounded(), Bound::unbounded(), all_ids(kMaxId));
  }
}

// Answers are assembled differently by how densely their ids fill the id space and how much
// of it is admissible: bitmaps united as they are, ids marked against the admissible ones, ids
// sorted with or without an intersection. Each id layout below leads queries down every one.
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
    SCOPED_TRACE(layout.name);
    std::mt19937_64 rng(7);
    BitMapBTree tree;
    Model model;
    std::vector<Id> ids;
    for (std::size_t rank = 0; rank < kKeys; ++rank) {
      const Id id = layout.id(rank, rng);
      if (model.holds_id(id)) continue;
      ids.push_back(id);
      model.insert(static_cast<std::int64_t>(rank), id);
    }
    // Inserted in random order, so the leaves fill unevenly.
    std::vector<std::pair<std::int64_t, Id>> order;
    for (const auto& [id, v] : model.pairs()) order.emplace_back(std::get<std::int64_t>(v), id);
    std::shuffle(order.begin(), order.end(), rng);
    for (const auto& [v, id] : order) tree.insert(v, id);
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

TYPED_TEST(TreeAt, KeyWalkAndIdsFollowInsertionsAndRemovals) {
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
    std::vector<Key128> walked;
    std::vector<Key128> expected;
    tree.for_each_key([&](const CompositeKey128& k) {
      walked.push_back(k.key);
      EXPECT_EQ(CompositeKey128::make(k.value, k.id()).key, k.key);
    });
    std::vector<Id> ids;
    for (const auto& [held, v] : model.pairs()) {
      expected.push_back(CompositeKey128::make(v, held).key);
      ids.push_back(held);
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(walked, expected) << "step " << step;
    ASSERT_EQ(tree.ids().to_vector(), ids) << "step " << step;
  }
  BasicBitMapBTree<S> empty;
  std::size_t calls = 0;
  empty.for_each_key([&](const CompositeKey128&) { ++calls; });
  EXPECT_EQ(calls, 0u);
  EXPECT_TRUE(empty.ids().is_empty());
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
    ASSERT_EQ(tree.verify(), std::nullopt) << order.name;
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
  EXPECT_EQ(tree.query_range(Bound::included(five), Bound::included(five), every).cardinality(), 300u);
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

TYPED_TEST(TreeAt, EmptiedLeavesStayAndFillAgain) {
  constexpr std::size_t S = TypeParam::value;
  const Bitmap every = all_ids(5000);
  // A single leaf root.
  BasicBitMapBTree<S> leaf_tree;
  for (Id id = 0; id < S / 2; ++id) leaf_tree.insert(static_cast<std::int64_t>(id), id);
  for (Id id = 0; id < S / 2; ++id) EXPECT_TRUE(leaf_tree.remove(static_cast<std::int64_t>(id), id));
  ASSERT_EQ(leaf_tree.verify(), std::nullopt);
  EXPECT_EQ(leaf_tree.root().as_leaf()->len, 0u);
  EXPECT_TRUE(leaf_tree.query_range(Bound::unbounded(), Bound::unbounded(), every).is_empty());
  leaf_tree.insert(std::int64_t{1}, 1);
  EXPECT_EQ(ids_of(leaf_tree.query_range(Bound::unbounded(), Bound::unbounded(), every)), std::vector<Id>{1});

  // The lowest values of a deeper tree: their leaves empty out and stay.
  BasicBitMapBTree<S> tree;
  Model model;
  for (Id id = 0; id < 20 * S; ++id) {
    tree.insert(static_cast<std::int64_t>(id), id);
    model.insert(static_cast<std::int64_t>(id), id);
  }
  for (Id id = 0; id < 5 * S; ++id) {
    ASSERT_TRUE(tree.remove(static_cast<std::int64_t>(id), id));
    model.remove(static_cast<std::int64_t>(id), id);
  }
  ASSERT_EQ(tree.verify(), std::nullopt);
  const Bound low = Bound::unbounded(), high = Bound::excluded(static_cast<std::int64_t>(5 * S));
  EXPECT_TRUE(tree.query_range(low, high, every).is_empty());
  for (Id id = 0; id < 5 * S; id += 2) {
    tree.insert(static_cast<double>(id) + 0.5, id);
    model.insert(static_cast<double>(id) + 0.5, id);
  }
  ASSERT_EQ(tree.verify(), std::nullopt);
  expect_query(tree, model, low, high, every);
  expect_query(tree, model, Bound::unbounded(), Bound::unbounded(), every);
}

template <std::size_t S>
void collect_prefixes(const BasicBitMapBTreeNode<S>& node, std::vector<Key128>& out) {
  if (const auto* leaf = node.as_leaf()) {
    for (std::size_t i = 0; i < leaf->len; ++i) out.push_back(leaf->key_at(i).prefix());
  } else if (const auto* n = node.as_internal()) {
    for (std::size_t i = 0; i < n->len; ++i) collect_prefixes(n->children[n->offset + i], out);
  }
}

TYPED_TEST(TreeAt, KeyIndexSplitsChildrenAtTheBound) {
  constexpr std::size_t S = TypeParam::value;
  std::mt19937_64 rng(S + 7);
  BasicBitMapBTree<S> tree;
  // Few values, so that each spans several children of the root.
  for (Id id = 0; id < 40 * S; ++id) tree.insert(static_cast<std::int64_t>(rng() % 4), id);
  const auto* root = tree.root().as_internal();
  ASSERT_NE(root, nullptr);
  std::vector<std::vector<Key128>> below(root->len);
  for (std::size_t i = 0; i < root->len; ++i) collect_prefixes(root->children[root->offset + i], below[i]);
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
      const std::size_t c = root->get_key_index(v, m.mode);
      ASSERT_LT(c, root->len);
      for (std::size_t i = 0; i < root->len; ++i) {
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
  BasicBitMapBTree<S> tree;
  std::mt19937_64 rng(S);
  std::vector<Id> ids(kCount);
  std::iota(ids.begin(), ids.end(), 0u);
  std::shuffle(ids.begin(), ids.end(), rng);
  for (Id i = 0; i < kCount; ++i) tree.insert(static_cast<std::int64_t>(ids[i]), ids[i]);
  ASSERT_EQ(tree.verify(), std::nullopt);
  const Bitmap every = all_ids(kCount);
  for (int q = 0; q < 50; ++q) {
    const auto a = static_cast<std::int64_t>(rng() % kCount);
    const auto b = static_cast<std::int64_t>(rng() % kCount);
    const auto lo = std::min(a, b), hi = std::max(a, b);
    RangeQueryTrace trace;
    const Bitmap got = tree.query_range(Bound::included(lo), Bound::included(hi), every, &trace);
    ASSERT_EQ(got.cardinality(), static_cast<std::uint64_t>(hi - lo + 1));
    ASSERT_GE(trace.nodes_per_depth.size(), 3u);  // at least two internal levels
    for (std::size_t n : trace.nodes_per_depth) ASSERT_LE(n, 2u);
    if (hi - lo > static_cast<std::int64_t>(kCount / 2)) {
      EXPECT_GT(trace.children_from_bitmaps, 0u);  // the middle comes from bitmaps
    }
  }
}

TYPED_TEST(TreeAt, RemovedSeparatorPairCanReturn) {
  constexpr std::size_t S = TypeParam::value;
  BasicBitMapBTree<S> tree;
  for (Id id = 0; id < 4 * S; ++id) tree.insert(static_cast<std::int64_t>(id), id);
  const auto* root = tree.root().as_internal();
  ASSERT_NE(root, nullptr);
  const CompositeKey128 separator = root->key_at(1);
  // Storing the separator's pair again is a duplicate.
  try {
    tree.insert(separator.value, separator.id());
    FAIL() << "duplicate accepted";
  } catch (const FatalError& e) {
    EXPECT_STREQ(e.what(), "Duplicate ID and key insert");
  }
  // Once removed, the pair is absent although its separator stays; it can be stored again.
  ASSERT_TRUE(tree.remove(separator.value, separator.id()));
  EXPECT_EQ(tree.root().as_internal()->key_at(1), separator);
  tree.insert(separator.value, separator.id());
  ASSERT_EQ(tree.verify(), std::nullopt);
  const Bound at = Bound::included(separator.value);
  EXPECT_EQ(ids_of(tree.query_range(at, at, all_ids(4 * S))), std::vector<Id>{separator.id()});
  EXPECT_TRUE(tree.remove(separator.value, separator.id()));
  EXPECT_FALSE(tree.remove(separator.value, separator.id()));
  ASSERT_EQ(tree.verify(), std::nullopt);
}

TYPED_TEST(TreeAt, RemovedSeparatorPairReturnsThroughASplit) {
  constexpr std::size_t S = TypeParam::value;
  // Grow ascending keys until a child of the root is a full internal node.
  BasicBitMapBTree<S> tree;
  const BasicInternalNode<S>* full = nullptr;
  for (Id id = 0; !full; ++id) {
    tree.insert(static_cast<std::int64_t>(id), id);
    if (const auto* root = tree.root().as_internal())
      for (std::size_t i = 0; i < root->len && !full; ++i)
        if (const auto* n = root->children[root->offset + i].as_internal(); n && n->is_full()) full = n;
  }
  // Its middle separator becomes the separator of the split that re-adding the pair causes.
  const CompositeKey128 middle = full->key_at(full->len / 2);
  ASSERT_TRUE(tree.remove(middle.value, middle.id()));
  tree.insert(middle.value, middle.id());
  ASSERT_EQ(tree.verify(), std::nullopt);
  const Bound at = Bound::included(middle.value);
  EXPECT_EQ(ids_of(tree.query_range(at, at, Bitmap::of({middle.id()}))), std::vector<Id>{middle.id()});
  EXPECT_TRUE(tree.remove(middle.value, middle.id()));
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

// ---------------------------------------------------------------------------------------------
// Broken invariants: fatal errors on the way, and verify's reasons

using SmallTree = BasicBitMapBTree<8>;
using SmallPeer = BitMapBTreePeer<8>;
using SmallInternal = BasicInternalNode<8>;

/// A tree of `count` ascending keys 0, 10, 20, ... under ids 0, 1, 2, ...
SmallTree ascending(Id count) {
  SmallTree tree;
  for (Id id = 0; id < count; ++id) tree.insert(static_cast<std::int64_t>(id) * 10, id);
  return tree;
}

std::string fatal_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "no failure";
}

TEST(BitMapBTreeFailures, BrokenTreesFailWithTheirMessages) {
  const struct {
    const char* name;
    Id keys;
    std::function<void(SmallTree&)> damage_and_act;
    std::string message;
  } cases[] = {
      {"child missing on insert", 40,
       [](SmallTree& t) {
         auto* root = SmallPeer::root(t).as_internal();
         root->children[root->offset] = {};
         t.insert(std::int64_t{-5}, 900);
       },
       "Missing child"},
      {"child missing on remove", 40,
       [](SmallTree& t) {
         auto* root = SmallPeer::root(t).as_internal();
         root->children[root->offset] = {};
         t.remove(std::int64_t{0}, 0);
       },
       "Missing child"},
      {"leaf bitmap missing", 12,
       [](SmallTree& t) {
         auto* root = SmallPeer::root(t).as_internal();
         root->bitmaps.clear(root->offset);
         t.insert(std::int64_t{-5}, 900);
       },
       "Bitmap should be present for leaf"},
      {"internal bitmap missing", 120,
       [](SmallTree& t) {
         auto* root = SmallPeer::root(t).as_internal();
         ASSERT_FALSE(root->children[root->offset].is_leaf());
         root->bitmaps.clear(root->offset);
         t.insert(std::int64_t{-5}, 900);
       },
       "Bitmap should be present for internal"},
      {"bitmap missing before a split", 10,
       [](SmallTree& t) {
         auto* root = SmallPeer::root(t).as_internal();
         const std::size_t last = root->offset + root->len - 1;
         ASSERT_TRUE(root->children[last].is_full());
         root->bitmaps.clear(last);
         t.insert(std::int64_t{100000}, 900);
       },
       "Bitmap must be initialized before split"},
      {"full leaf root without its first key", 7,
       [](SmallTree& t) {
         auto* leaf = SmallPeer::root(t).as_leaf();
         ASSERT_TRUE(SmallPeer::root(t).is_full());
         leaf->keys.clear(leaf->offset);
         t.insert(std::int64_t{100000}, 900);
       },
       "invalid offset"},
      {"full leaf root without its middle key", 7,
       [](SmallTree& t) {
         auto* leaf = SmallPeer::root(t).as_leaf();
         leaf->keys.clear(leaf->offset + leaf->len / 2);
         t.insert(std::int64_t{100000}, 900);
       },
       "invalid offset"},
      {"empty slot met by a search", 12,
       [](SmallTree& t) {
         auto* root = SmallPeer::root(t).as_internal();
         root->keys.clear(root->offset + root->len / 2);
         t.insert(std::int64_t{-5}, 900);
       },
       std::string(kMissingValue)},
  };
  for (const auto& c : cases) {
    SmallTree tree = ascending(c.keys);
    EXPECT_EQ(fatal_text([&] { c.damage_and_act(tree); }), c.message) << c.name;
  }
}

TEST(BitMapBTreeFailures, FullInternalRootWithoutItsFirstKey) {
  BasicBitMapBTree<5> tree;
  Id id = 0;
  while (!(tree.root().as_internal() && tree.root().is_full())) {
    tree.insert(static_cast<std::int64_t>(id), id);
    ++id;
  }
  auto* root = BitMapBTreePeer<5>::root(tree).as_internal();
  root->keys.clear(root->offset);
  EXPECT_EQ(fatal_text([&] { tree.insert(std::int64_t{100000}, 900); }), "incorrect offset");
}

BasicLeafNode<8>* leftmost_leaf(SmallInternal& node) {
  const auto& first = node.children[node.offset];
  return first.is_leaf() ? first.as_leaf() : leftmost_leaf(*first.as_internal());
}

TEST(BitMapBTreeVerify, ReportsEachBrokenInvariant) {
  const struct {
    const char* name;
    std::function<void(SmallInternal&)> damage;
    std::string reason;
  } cases[] = {
      {"id missing from a bitmap", [](SmallInternal& r) { r.bitmaps.get(r.offset).remove(0); }, "differs"},
      {"stray id in a bitmap", [](SmallInternal& r) { r.bitmaps.get(r.offset).add(777); }, "differs"},
      {"separators out of order",
       [](SmallInternal& r) {
         auto* mid = r.children[r.offset].as_internal();
         const std::size_t at = mid->offset + mid->len - 2;
         const CompositeKey128 a = mid->keys.get(at), b = mid->keys.get(at + 1);
         mid->keys.put(at, b);
         mid->keys.put(at + 1, a);
       },
       "not ascending"},
      {"key that does not encode its value",
       [](SmallInternal& r) {
         CompositeKey128 k = r.keys.get(r.offset + 1);
         k.value = 1e9;
         r.keys.put(r.offset + 1, k);
       },
       "does not encode"},
      {"run moved without its slots", [](SmallInternal& r) { r.offset += r.offset > 0 ? -1 : 1; }, "the run"},
      {"root with one slot",
       [](SmallInternal& r) {
         const std::size_t last = r.offset + r.len - 1;
         r.keys.clear(last);
         r.bitmaps.clear(last);
         r.children[last] = {};
         r.len = 1;
       },
       "fewer than 2"},
      {"leaves at two depths",
       [](SmallInternal& r) {
         auto* below = r.children[r.offset + 1].as_internal();
         auto leaf = std::move(below->children[below->offset]);
         r.children[r.offset + 1] = std::move(leaf);
       },
       "depth"},
      {"leaf keys out of order",
       [](SmallInternal& r) {
         auto* leaf = leftmost_leaf(r);
         const CompositeKey128 a = leaf->keys.get(leaf->offset), b = leaf->keys.get(leaf->offset + 1);
         leaf->keys.put(leaf->offset, b);
         leaf->keys.put(leaf->offset + 1, a);
       },
       "out of order"},
      {"leaf key beyond its separator",
       [](SmallInternal& r) {
         auto* leaf = leftmost_leaf(r);
         leaf->keys.put(leaf->offset + leaf->len - 1, CompositeKey128::make(std::int64_t{1} << 40, 5));
       },
       "outside its separators"},
  };
  for (const auto& c : cases) {
    SmallTree tree = ascending(120);
    ASSERT_EQ(tree.verify(), std::nullopt);
    auto* root = SmallPeer::root(tree).as_internal();
    ASSERT_NE(root, nullptr);
    ASSERT_FALSE(root->children[root->offset].is_leaf());
    c.damage(*root);
    const auto reason = tree.verify();
    ASSERT_TRUE(reason.has_value()) << c.name;
    EXPECT_NE(reason->find(c.reason), std::string::npos) << c.name << ": " << *reason;
  }
}

}  // namespace
}  // namespace vostrel
