// The bitmap wrapper: ownership, moves and the set operations the index relies on.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "index/bitmap.hpp"

namespace vostrel {
namespace {

TEST(Bitmap, EmptyBitmapsAreValidAndEqual) {
  Bitmap a;
  Bitmap b = Bitmap::of({});
  EXPECT_TRUE(a.is_empty());
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.cardinality(), 0u);
  EXPECT_TRUE(a.to_vector().empty());
  Bitmap c = Bitmap::of({3});
  c.remove(3);
  EXPECT_EQ(a, c);  // emptied storage compares equal to no storage
}

TEST(Bitmap, MoveLeavesSourceEmptyAndValid) {
  Bitmap a = Bitmap::of({1, 2, 3});
  Bitmap b = std::move(a);
  EXPECT_TRUE(a.is_empty());  // NOLINT(bugprone-use-after-move)
  a.add(9);
  EXPECT_EQ(a.to_vector(), std::vector<Id>{9});
  EXPECT_EQ(b.to_vector(), (std::vector<Id>{1, 2, 3}));
  b = std::move(a);
  EXPECT_EQ(b.to_vector(), std::vector<Id>{9});
}

TEST(Bitmap, CloneIsDeep) {
  Bitmap a = Bitmap::of({5, 1});
  Bitmap b = a.clone();
  b.add(7);
  EXPECT_EQ(a.to_vector(), (std::vector<Id>{1, 5}));
  EXPECT_EQ(b.to_vector(), (std::vector<Id>{1, 5, 7}));
}

TEST(Bitmap, SetOperationsMatchStdSet) {
  struct Case {
    std::vector<Id> a, b;
  };
  const Case cases[] = {
      {{}, {}}, {{1}, {}}, {{}, {1}}, {{1, 2, 3}, {2, 3, 4}}, {{0, 70000, 4294967295u}, {70000}},
  };
  for (const auto& c : cases) {
    const Bitmap a = Bitmap::of(c.a), b = Bitmap::of(c.b);
    std::set<Id> sa(c.a.begin(), c.a.end()), sb(c.b.begin(), c.b.end());
    std::vector<Id> want_and, want_or, want_andnot;
    std::set_intersection(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(want_and));
    std::set_union(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(want_or));
    std::set_difference(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(want_andnot));
    EXPECT_EQ(Bitmap::and_(a, b).to_vector(), want_and);
    EXPECT_EQ(Bitmap::andnot(a, b).to_vector(), want_andnot);
    const Bitmap* parts[] = {&a, &b};
    EXPECT_EQ(Bitmap::or_many(parts).to_vector(), want_or);
    Bitmap x = a.clone();
    x.or_inplace(b);
    EXPECT_EQ(x.to_vector(), want_or);
    x = a.clone();
    x.and_inplace(b);
    EXPECT_EQ(x.to_vector(), want_and);
    x = a.clone();
    x.andnot_inplace(b);
    EXPECT_EQ(x.to_vector(), want_andnot);
    std::vector<Id> seen;
    a.for_each([&](Id id) { seen.push_back(id); });
    EXPECT_EQ(seen, std::vector<Id>(sa.begin(), sa.end()));
  }
}

// Sparse chunks (arrays), dense ones (bitsets) and the extremes of the id range, read in batches.
TEST(Bitmap, BatchesGiveEveryIdInOrderOnce) {
  std::mt19937 rng(5);
  for (std::size_t count : {0u, 1u, 255u, 256u, 257u, 5000u, 70000u}) {
    SCOPED_TRACE(count);
    std::set<Id> model;
    if (count > 0) model.insert(4294967295u);
    while (model.size() < count) model.insert(rng() % (count < 6000 ? 1u << 20 : 1u << 17));
    const Bitmap b = Bitmap::of(std::vector<Id>(model.begin(), model.end()));
    std::vector<Id> seen;
    b.for_each_batch([&](std::span<const Id> batch) {
      EXPECT_FALSE(batch.empty());
      EXPECT_LE(batch.size(), Bitmap::kBatchIds);
      seen.insert(seen.end(), batch.begin(), batch.end());
    });
    EXPECT_EQ(seen, std::vector<Id>(model.begin(), model.end()));
  }
}

// Building from ascending ids goes through the serialised form: sparse chunks become arrays,
// chunks of more than 4096 ids bitsets; repeats collapse.
TEST(Bitmap, BuiltFromAscendingIdsAndReadInRanges) {
  std::mt19937 rng(9);
  struct Case {
    const char* name;
    std::vector<Id> ids;
  };
  std::vector<Case> cases = {{"none", {}}, {"one", {7}}, {"extremes", {0, 65535, 65536, 4294967295u}}};
  Case spread{"spread", {}}, dense{"dense chunk beside sparse ones", {}}, repeats{"repeats", {}};
  for (int i = 0; i < 3000; ++i) spread.ids.push_back(static_cast<Id>(rng()));
  for (Id i = 0; i < 5000; ++i) dense.ids.push_back(131072 + i * 3);
  for (Id i = 0; i < 40; ++i) dense.ids.push_back(rng() % 65536);
  for (Id i = 0; i < 600; ++i) repeats.ids.insert(repeats.ids.end(), {i * 11, i * 11});
  cases.insert(cases.end(), {spread, dense, repeats});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::sort(c.ids.begin(), c.ids.end());
    const std::set<Id> model(c.ids.begin(), c.ids.end());
    const Bitmap b = Bitmap::of_sorted(c.ids);
    ASSERT_EQ(b.to_vector(), std::vector<Id>(model.begin(), model.end()));
    std::vector<Id> copied(b.cardinality());
    b.copy_to(copied.data());
    EXPECT_EQ(copied, b.to_vector());
    for (int q = 0; q < 50; ++q) {
      Id lo = static_cast<Id>(rng()), hi = static_cast<Id>(rng());
      if (q < 25 && !c.ids.empty()) {  // ranges around held ids
        lo = c.ids[rng() % c.ids.size()] - std::min<Id>(3, c.ids.front());
        hi = lo + rng() % 70000;
        if (hi < lo) hi = std::numeric_limits<Id>::max();
      }
      if (lo > hi) std::swap(lo, hi);
      std::vector<Id> want, got;
      for (auto it = model.lower_bound(lo); it != model.end() && *it <= hi; ++it) want.push_back(*it);
      b.append_range(lo, hi, got);
      ASSERT_EQ(got, want) << lo << ".." << hi;
      EXPECT_EQ(b.contains_range(lo, hi), want.size() == std::uint64_t{hi} - lo + 1) << lo << ".." << hi;
    }
  }
  EXPECT_TRUE(Bitmap::of_sorted(std::vector<Id>{5, 6, 7}).contains_range(5, 7));
  EXPECT_FALSE(Bitmap::of_sorted(std::vector<Id>{5, 7}).contains_range(5, 7));
  EXPECT_TRUE(Bitmap().contains_range(9, 8));  // an empty range
}

TEST(Bitmap, BulkAdderAddsEveryId) {
  Bitmap b;
  Bitmap::BulkAdder adder(b);
  for (Id id : {10u, 11u, 70000u, 12u}) adder.add(id);
  EXPECT_EQ(b.to_vector(), (std::vector<Id>{10, 11, 12, 70000}));
}

}  // namespace
}  // namespace vostrel
