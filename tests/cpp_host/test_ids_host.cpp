// Object ids through the host: exhaustion raises, freed ids come back, and a view never takes a new
// object for the dead one whose id it got.
#include <Python.h>
#include <gtest/gtest.h>

#include "host_support.hpp"

namespace vostrel::py {
namespace {

TEST(IdsHost, ExhaustedIdsRaiseAndFreedOnesComeBack) {
  Object g = host_test::run(R"(
class Record(Indexable):
    pass
index = Index()
first = Record(v=1)
index.add_object(first)
view = index.reduced(v=1)
spare = [Record() for _ in range(3)]  # their ids come back once the limit is set
)");
  // From here on only ids that come back can be handed out.
  GLOBAL_ID_COUNTER.set_last(GLOBAL_ID_COUNTER.next_unused() - 1);
  host_test::run(R"(
spare.clear()
made = []
try:
    for _ in range(1_000_000):
        made.append(Record())
    raise AssertionError("ids never ran out")
except OverflowError as e:
    assert str(e) == "cannot create Indexable: every object id is in use", str(e)
index.remove_object(first)
del first
second = Record(v=1)            # takes the id the first object had
index.add_object(second)
assert view.collect() == [] and len(view) == 0 and list(view) == []
assert index.reduced(v=1).collect() == [second]
try:
    Record()
    raise AssertionError("an id was handed out twice")
except OverflowError:
    pass
made.clear()
assert len([Record() for _ in range(3)]) == 3
)",
                 std::move(g));
  GLOBAL_ID_COUNTER.set_last(UINT32_MAX);
  EXPECT_FALSE(PyErr_Occurred());
}

}  // namespace
}  // namespace vostrel::py

namespace vostrel::py {
namespace {

// An object added again to an index keeps one record of it, however often it is added.
TEST(IdsHost, AddingAgainKeepsOneRecordPerIndex) {
  Object g = host_test::run(R"(
obj = Indexable(v=1)
first, second = Index(), Index()
for _ in range(1000):
    first.add_object(obj)
    first.add_object_many([obj])
second.union_with(first)
second.union_with(first)
)");
  const Indexable& record = IndexableInstance::cast(host_test::global(g, "obj"))->record;
  EXPECT_EQ(record.index_meta.size(), 2u);
}

}  // namespace
}  // namespace vostrel::py
