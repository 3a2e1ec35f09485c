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

TEST(Bitmap, BulkAdderAddsEveryId) {
  Bitmap b;
  Bitmap::BulkAdder adder(b);
  for (Id id : {10u, 11u, 70000u, 12u}) adder.add(id);
  EXPECT_EQ(b.to_vector(), (std::vector<Id>{10, 11, 12, 70000}));
}

}  // namespace
}  // namespace vostrel
