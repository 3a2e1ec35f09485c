// Views of an index: they lose the objects that leave their index and never gain the ones that
// enter it later, also under an id that an object they admitted had.
#include <gtest/gtest.h>

#include "index_support.hpp"

namespace vostrel {
namespace {

using namespace test;  // NOLINT(google-build-using-namespace)
using Admitted = std::vector<std::pair<Id, HostObject*>>;

FilteredIndex view_of(const Index& index, Bitmap ids) {
  auto s = index.state->read();
  return FilteredIndex::of(index, *s, std::move(ids));
}

TEST(FilteredIndex, FollowsItsIndexAndNeverAdmitsLaterArrivals) {
  auto a = std::make_unique<Obj>();
  Obj b, c;
  Index index = Index::make();
  add(index, {a.get(), &b});
  const FilteredIndex view = view_of(index, Bitmap::of({a->id(), b.id()}));
  EXPECT_EQ(view.state, index.state);
  EXPECT_EQ(admitted(view), (Admitted{{a->id(), a->host}, {b.id(), b.host}}));

  add(index, {&c});
  EXPECT_TRUE(unchanged_since(*index.state->read(), view)) << "arrivals change nothing for a view";
  EXPECT_EQ(admitted(view).size(), 2u);

  const Id freed = a->id();
  remove(index, {a.get()});
  EXPECT_FALSE(unchanged_since(*index.state->read(), view));
  EXPECT_EQ(admitted(view), (Admitted{{b.id(), b.host}}));

  a.reset();  // its id is free again, and the next object gets it
  Obj d;
  ASSERT_EQ(d.id(), freed);
  add(index, {&d});
  EXPECT_EQ(admitted(view), (Admitted{{b.id(), b.host}})) << "a new object under an old id";
  EXPECT_EQ(admitted_ids(*index.state->read(), view).to_vector(), std::vector<Id>{b.id()});

  remove(index, {&b});
  add(index, {&b});
  EXPECT_TRUE(admitted(view).empty()) << "an object that left and came back is a later arrival";

  const FilteredIndex narrowed = view.narrowed(Bitmap::of({b.id(), d.id(), 4'000'000}));
  EXPECT_EQ(narrowed.ids.to_vector(), (std::vector<Id>{std::min(b.id(), d.id()), std::max(b.id(), d.id())}));
  EXPECT_EQ(narrowed.epoch, view.epoch) << "a narrowed view keeps the epoch of its source";
  EXPECT_TRUE(admitted(narrowed).empty());
  const FilteredIndex fresh = view_of(index, Bitmap::of({b.id(), d.id()}));
  EXPECT_EQ(admitted(fresh).size(), 2u);
  EXPECT_EQ(admitted(fresh.narrowed(Bitmap::of({d.id()}))), (Admitted{{d.id(), d.host}}));
}

}  // namespace
}  // namespace vostrel
