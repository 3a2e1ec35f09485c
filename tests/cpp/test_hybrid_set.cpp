// The hybrid id set: the switch to a bitmap, pairwise unions and intersections, and a
// randomised run against std::set.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "index/hybrid_set.hpp"

namespace vostrel {

struct HybridSetTestPeer {
  static void set_slot(HybridSet& s, std::size_t i, Id id) { s.small_.ids_[i] = id; }
};

namespace {

using Kind = HybridSet::Kind;
using Ids = std::vector<Id>;

HybridSet small_of(const Ids& ids) {
  HybridSet s;
  for (Id id : ids) s.add(id);
  EXPECT_TRUE(s.is_small());
  return s;
}
HybridSet large_of(const Ids& ids) { return HybridSet::from_bitmap(Bitmap::of(ids)); }
HybridSet empty_set() {
  HybridSet s = HybridSet::from_id(1);
  HybridSet taken = std::move(s);
  return s;  // NOLINT(bugprone-use-after-move): moved-from sets are Empty
}

using test::fatal_text;

TEST(HybridSet, FifthDistinctIdSwitchesToBitmapForGood) {
  HybridSet s = HybridSet::from_id(1);
  for (Id id : {2, 3, 4, 4, 1}) s.add(id);
  EXPECT_EQ(s.to_vector(), (Ids{1, 2, 3, 4}));
  EXPECT_TRUE(s.is_small());  // held ids do not count towards the switch
  s.add(5);
  ASSERT_TRUE(s.is_large());
  EXPECT_EQ(s.bitmap().to_vector(), (Ids{1, 2, 3, 4, 5}));
  for (Id id = 1; id <= 5; ++id) s.remove(id);
  EXPECT_TRUE(s.is_large());
  EXPECT_TRUE(s.is_empty());
}

TEST(HybridSet, SmallKeepsSlotOrderAndOneCopy) {
  HybridSet s = small_of({7, 8, 9});
  s.remove(4);
  EXPECT_EQ(s.to_vector(), (Ids{7, 8, 9}));
  s.remove(8);
  EXPECT_EQ(s.to_vector(), (Ids{7, 9}));
  EXPECT_EQ(s.verify(), std::nullopt);  // vacated slot zeroed

  HybridSet twice = small_of({5, 5});
  EXPECT_EQ(twice.small().count(), 1u);
  EXPECT_EQ(twice.as_bitmap().to_vector(), Ids{5});
  twice.remove(5);
  EXPECT_TRUE(twice.is_empty());
  EXPECT_FALSE(twice.contains(5));

  EXPECT_EQ(small_of({3, 1, 2}).to_vector(), (Ids{3, 1, 2}));
  EXPECT_EQ(large_of({3, 1, 2}).to_vector(), (Ids{1, 2, 3}));
}

TEST(HybridSet, PairwiseOperations) {
  struct Case {
    Kind left_kind;
    Ids left;
    Kind right_kind;
    Ids right;
    Kind or_kind;
    Ids or_ids;  // in iteration order
    Kind and_kind;
    Ids and_ids;
  };
  const Kind S = Kind::Small, L = Kind::Large;
  const Case cases[] = {
      {S, {1, 2}, S, {3, 4}, S, {1, 2, 3, 4}, S, {}},
      {S, {1, 2}, S, {3, 4, 5}, L, {1, 2, 3, 4, 5}, S, {}},
      {S, {1, 2}, S, {2, 3}, S, {1, 2, 3}, S, {2}},
      {S, {1, 2, 3}, S, {3, 4}, S, {1, 2, 3, 4}, S, {3}},
      {S, {4, 3, 2, 1}, S, {1, 3}, S, {4, 3, 2, 1}, S, {3, 1}},
      {S, {}, S, {9}, S, {9}, S, {}},
      {S, {1, 2, 3}, L, {2, 3, 9}, L, {1, 2, 3, 9}, L, {2, 3}},
      {S, {1, 2, 3}, L, {}, L, {1, 2, 3}, L, {}},
      {L, {1, 2, 70000}, S, {2, 5}, L, {1, 2, 5, 70000}, L, {2}},
      {L, {}, S, {5}, L, {5}, L, {}},
      {L, {1, 2, 70000}, L, {2, 70000, 80000}, L, {1, 2, 70000, 80000}, L, {2, 70000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.left) + " with " + ::testing::PrintToString(c.right));
    auto make = [](Kind k, const Ids& ids) { return k == Kind::Small ? small_of(ids) : large_of(ids); };
    const HybridSet right = make(c.right_kind, c.right);
    HybridSet u = make(c.left_kind, c.left);
    u.or_inplace(right);
    EXPECT_EQ(u.kind(), c.or_kind);
    EXPECT_EQ(u.to_vector(), c.or_ids);
    HybridSet n = make(c.left_kind, c.left);
    n.and_inplace(right);
    EXPECT_EQ(n.kind(), c.and_kind);
    EXPECT_EQ(n.to_vector(), c.and_ids);
    EXPECT_EQ(right.to_vector(), make(c.right_kind, c.right).to_vector());
    for (const HybridSet* s : {&u, &n}) EXPECT_EQ(s->verify(), std::nullopt);
  }
}

TEST(HybridSet, EmptyStateFailsAndLeavesOperandsAlone) {
  HybridSet e = empty_set();
  EXPECT_EQ(e.kind(), Kind::Empty);
  EXPECT_TRUE(e.as_bitmap().is_empty());
  EXPECT_TRUE(e.to_vector().empty());
  EXPECT_EQ(fatal_text([&] { e.add(1); }), "not implemented");
  EXPECT_EQ(fatal_text([&] { e.remove(1); }), "not yet implemented");
  EXPECT_EQ(fatal_text([&] { (void)e.is_empty(); }), "not yet implemented");
  EXPECT_EQ(fatal_text([&] { e.or_inplace(e); }), "not implemented");
  HybridSet sets[] = {small_of({1, 2}), large_of({1, 2})};
  for (HybridSet& s : sets) {
    EXPECT_EQ(fatal_text([&] { s.or_inplace(e); }), "not implemented");
    EXPECT_EQ(fatal_text([&] { s.and_inplace(e); }), "not implemented");
    EXPECT_EQ(s.to_vector(), (Ids{1, 2}));
    EXPECT_EQ(fatal_text([&] { e.and_inplace(s); }), "not implemented");
    EXPECT_EQ(e.kind(), Kind::Empty);
  }
}

TEST(HybridSet, VerifyNamesTheDamage) {
  const struct {
    std::size_t slot;
    Id id;
    const char* reason;
  } cases[] = {
      {1, 5, "small set holds id 5 twice"},
      {3, 9, "slot 3 of a small set holds an id after an empty slot"},
  };
  for (const auto& c : cases) {
    HybridSet s = small_of({5, 6});
    HybridSetTestPeer::set_slot(s, c.slot, c.id);
    EXPECT_EQ(s.verify(), c.reason);
  }
}

// Seeded random operations on a few sets, each mirrored by a std::set and a "has been Large" flag.
TEST(HybridSet, RandomOperationsMatchStdSet) {
  constexpr int kSets = 4, kSteps = 3000;
  for (unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
    std::mt19937 rng(seed);
    std::vector<HybridSet> sets;
    std::vector<std::set<Id>> model(kSets);
    std::vector<bool> large(kSets, false);
    for (int i = 0; i < kSets; ++i) sets.push_back(HybridSet());
    auto random_id = [&] { return rng() % 8 == 0 ? 100000 + rng() % 4 : Id(1 + rng() % 9); };  // never 0
    for (int step = 0; step < kSteps; ++step) {
      const int i = rng() % kSets, j = rng() % kSets;
      const Id id = random_id();
      HybridSet& s = sets[i];
      std::set<Id>& m = model[i];
      switch (rng() % 7) {
        case 0:
        case 1:
          s.add(id);
          m.insert(id);
          break;
        case 2:
          s.remove(id);
          m.erase(id);
          break;
        case 3:  // i == j included: a set united or intersected with itself
          s.or_inplace(sets[j]);
          m.insert(model[j].begin(), model[j].end());
          large[i] = large[i] || large[j];
          break;
        case 4:
          s.and_inplace(sets[j]);
          std::erase_if(m, [&](Id x) { return !model[j].contains(x); });
          large[i] = large[i] || large[j];
          break;
        case 5:
          EXPECT_EQ(s.as_bitmap().to_vector(), Ids(m.begin(), m.end()));
          break;
        case 6:  // start over, so that sets keep passing through Small
          s = HybridSet::from_id(id);
          m = {id};
          large[i] = false;
          break;
      }
      large[i] = large[i] || m.size() > HybridSet::kSmallCapacity;
      SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
      ASSERT_EQ(s.verify(), std::nullopt);
      Ids held = s.to_vector();
      std::sort(held.begin(), held.end());
      ASSERT_EQ(held, Ids(m.begin(), m.end()));
      ASSERT_EQ(s.kind(), large[i] ? Kind::Large : Kind::Small);
      ASSERT_EQ(s.is_empty(), m.empty());
      const Id probe = random_id();
      ASSERT_EQ(s.contains(probe), m.contains(probe));
    }
  }
}

}  // namespace
}  // namespace vostrel
