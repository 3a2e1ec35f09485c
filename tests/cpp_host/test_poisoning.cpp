// Failures inside index operations, from host code: a fatal failure under a write lock leaves that
// lock poisoned and every later user of it failing, while read locks and ordinary errors poison
// nothing and leave every index consistent with its objects.
#include <Python.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "host_support.hpp"

namespace vostrel::py {
namespace {

using host_test::disagreement;
using host_test::global;
using host_test::run;

/// Globals with the failure texts and a helper that expects a PanicException carrying one.
Object poisoning_globals() {
  Object g = host_test::host_globals();
  PyDict_SetItemString(g.ptr(), "POISONED", new_str(kPoisonedLock).ptr());
  PyDict_SetItemString(g.ptr(), "MISSING", new_str(kMissingValue).ptr());
  PyDict_SetItemString(g.ptr(), "OUT_OF_RANGE", new_str(kOutOfRange).ptr());
  return run(R"(
def panics(call, text):
    try:
        call()
    except PanicException as e:
        assert e.args == (text,), f"{call}: {e.args!r}, expected {text!r}"
    else:
        raise AssertionError(f"{call} did not fail")
)",
             std::move(g));
}

Index& index_of(const Object& g, const char* name) { return IndexInstance::cast(global(g, name))->record; }
const Indexable& record_of(const Object& g, const char* name) {
  return IndexableInstance::cast(global(g, name))->record;
}
long borrow_state(const Object& g, const char* name) {
  const Handle obj = global(g, name);
  return is_instance(obj, index_type()) ? IndexInstance::cast(obj)->borrow.state
                                        : IndexableInstance::cast(obj)->borrow.state;
}
std::string attribute_text(const Object& g, const char* obj, const char* name) {
  const PyValue& v = record_of(g, obj).attributes.at(AttrName(name));
  return v.primitave().kind() == CastValue::Kind::Str ? v.primitave().as_str() : "?";
}

TEST(Poisoning, FailureUnderTheTableWriteLockPoisonsThatTableOnly) {
  Object g = run(R"(
a, b = Index(), Index()
x = Indexable(colour="red", n=1)    # in a only
y = Indexable(colour="blue", n=2)   # in a and b
z = Indexable(colour="red", n=3)    # in b only
w = Indexable(colour="red", n=4)    # in neither
a.add_object_many([x, y])
b.add_object_many([y, z])
view = a.reduced(colour=["red", "blue"])
)",
                 poisoning_globals());
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  // A broken entry in b's table stops a union into a while it holds a's table for writing.
  index_of(g, "b").query_maps->write()->emplace(AttrName("broken"), nullptr);
  run("panics(lambda: a.union_with(b), MISSING)", Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  const Index& a = index_of(g, "a");
  const Index& b = index_of(g, "b");
  EXPECT_TRUE(a.query_maps->is_poisoned());
  EXPECT_FALSE(a.stored_items->is_poisoned());
  EXPECT_FALSE(b.query_maps->is_poisoned()) << "read for the union: never poisoned";
  index_of(g, "b").query_maps->write()->erase(AttrName("broken"));

  run(R"(
for call in [
    lambda: a.get_by_attribute(colour="red"),
    lambda: a.reduced(colour="red"),
    lambda: a.reduced_query(Q.eq("colour", "red")),
    lambda: a.add_object(w),
    lambda: a.add_object_many([w]),
    lambda: a.reduce(colour="red"),
    lambda: a.union_with(Index()),
    lambda: view.reduced(colour="red"),     # the view shares a's table
    lambda: x.colour,                       # a read locks the tables of the object's indexes
    lambda: setattr(x, "colour", "green"),
    lambda: setattr(y, "colour", "green"),  # fails before b is touched
]:
    panics(call, POISONED)
# The store was only read: what needs nothing else still works, and nothing was added.
assert a.collect() == [x, y]
assert view.collect() == [x, y]
rebased = view.rebase()
assert rebased.get_by_attribute(colour="red") == [x]
assert rebased.reduced_query(Q.gt("n", 1)).collect() == [y]
# b and its own objects are untouched.
z.colour = "green"
assert b.get_by_attribute(colour="blue") == [y]
assert b.get_by_attribute(colour="green") == [z]
assert b.collect() == [y, z]
)",
      Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_EQ(attribute_text(g, "x", "colour"), "red");
  EXPECT_EQ(attribute_text(g, "y", "colour"), "blue");
  EXPECT_EQ(disagreement(global(g, "b")), "");
  EXPECT_EQ(disagreement(global(g, "rebased")), "");
  for (const char* name : {"a", "b", "x", "y", "z", "w"}) EXPECT_EQ(borrow_state(g, name), 0) << name;

  // A union into b that meets a's poisoned table holds b's table for writing by then.
  run("panics(lambda: b.union_with(a), POISONED)", Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_TRUE(b.query_maps->is_poisoned());
  EXPECT_FALSE(b.stored_items->is_poisoned());
  EXPECT_FALSE(a.stored_items->is_poisoned());
}

/// Poisons the lock as an operation that fails while it holds it for writing would.
template <class T>
void poison(RwLock<T>& lock) {
  try {
    auto guard = lock.write();
    fatal("injected failure");
  } catch (const FatalError&) {
  }
  ASSERT_TRUE(lock.is_poisoned());
}

TEST(Poisoning, AssignmentFailsBeforeItChangesAHealthyIndex) {
  Object g = run(R"(
p, q = Index(), Index()
y = Indexable(colour="blue")
p.add_object(y)
q.add_object(y)
)",
                 poisoning_globals());
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  // The object's records are in ascending table order: poison the index it updates last.
  Index& p = index_of(g, "p");
  Index& q = index_of(g, "q");
  const bool p_first = std::less<const void*>{}(p.query_maps.get(), q.query_maps.get());
  PyDict_SetItemString(g.ptr(), "healthy", global(g, p_first ? "p" : "q").ptr());
  poison(*(p_first ? q : p).query_maps);
  run(R"(
panics(lambda: setattr(y, "colour", "green"), POISONED)
assert healthy.get_by_attribute(colour="blue") == [y]
assert healthy.get_by_attribute(colour="green") == []
)",
      Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_EQ(attribute_text(g, "y", "colour"), "blue");
  EXPECT_EQ(disagreement(global(g, "healthy")), "");
}

TEST(Poisoning, FailedReduceLeavesTheStoreWorking) {
  Object g = run(R"(
a = Index()
x, y = Indexable(colour="red"), Indexable(colour="blue")
a.add_object_many([x, y])
)",
                 poisoning_globals());
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  Index& a = index_of(g, "a");
  constexpr Id kUnstored = 4'000'000;  // an id with no object in the store
  a.ids.add(kUnstored);
  run("panics(lambda: a.reduce(colour='red'), MISSING)", Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_TRUE(a.query_maps->is_poisoned());
  EXPECT_FALSE(a.stored_items->is_poisoned()) << "read by reduce";
  a.ids.remove(kUnstored);
  run(R"(
assert a.collect() == [x, y]
panics(lambda: a.get_by_attribute(colour="red"), POISONED)
)",
      Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
}

TEST(Poisoning, FailuresUnderReadLocksPoisonNothing) {
  Object g = run(R"(
a = Index()
x, y = Indexable(colour="red", n=1), Indexable(colour="blue", n=2)
a.add_object_many([x, y])
)",
                 poisoning_globals());
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  Index& a = index_of(g, "a");
  const Id x = record_of(g, "x").id;
  // Views admitting an id beyond the store and the id of its always empty slot 0.
  PyDict_SetItemString(g.ptr(), "beyond",
                       new_filtered_index(FilteredIndex::of(a, Bitmap::of({x, 4'000'000}))).ptr());
  PyDict_SetItemString(g.ptr(), "empty_slot", new_filtered_index(FilteredIndex::of(a, Bitmap::of({0, x}))).ptr());
  run(R"(
panics(beyond.collect, MISSING)
panics(beyond.rebase, OUT_OF_RANGE)
panics(empty_slot.collect, MISSING)
panics(empty_slot.rebase, MISSING)
assert beyond.reduced(colour="red").collect() == [x]
w = Indexable(colour="red", n=3)
a.add_object(w)
x.colour = "green"
a.union_with(Index())
assert a.get_by_attribute(colour=["red", "green"]) == [x, w]
assert a.reduced_query(Q.ge("n", 2)).collect() == [y, w]
assert a.collect() == [x, y, w]
)",
      Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_FALSE(a.query_maps->is_poisoned());
  EXPECT_FALSE(a.stored_items->is_poisoned());
  EXPECT_EQ(disagreement(global(g, "a")), "");
}

TEST(Poisoning, PoisonedStoreFailsItsUsersBeforeAnythingChanges) {
  Object g = run(R"(
a, c = Index(), Index()
x, y = Indexable(colour="red"), Indexable(colour="blue")
w = Indexable(colour="red")
a.add_object_many([x, y])
c.add_object(w)
)",
                 poisoning_globals());
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  Index& a = index_of(g, "a");
  const Index& c = index_of(g, "c");
  poison(*a.stored_items);
  run(R"(
view = a.reduced_query(Q.eq("colour", "red"))   # the table alone still answers
for call in [
    a.collect,
    lambda: a.get_by_attribute(colour="red"),
    lambda: a.add_object(w),
    lambda: a.add_object_many([w]),
    lambda: a.reduce(colour="red"),
    lambda: a.union_with(c),
    lambda: c.union_with(a),
    view.collect,
    view.rebase,
]:
    panics(call, POISONED)
x.colour = "green"   # assignments need only the tables
assert x.colour == "green"
assert c.collect() == [w]
assert c.get_by_attribute(colour="red") == [w]
)",
      Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_FALSE(a.query_maps->is_poisoned());
  EXPECT_FALSE(c.query_maps->is_poisoned());
  EXPECT_FALSE(c.stored_items->is_poisoned());
  EXPECT_FALSE(a.ids.contains(record_of(g, "w").id)) << "a failed add changed the index";
  auto table = a.query_maps->read();
  auto colour = table->find(AttrName("colour"));
  ASSERT_NE(colour, table->end());
  EXPECT_EQ(colour->second->value_sets.size(), 2u) << "green and blue only: w was never indexed";
}

TEST(Poisoning, OrdinaryErrorsAndFailuresWithoutAWriteLockPoisonNothing) {
  Object g = run(R"(
index, other = Index(), Index()
objects = [Indexable(colour="c%d" % (i % 3), n=i) for i in range(8)]
index.add_object_many(objects[:6])
other.add_object_many(objects[4:])
a, b = objects[0], objects[1]

class Meddling(list):
    def __iter__(self):
        for item in list.__iter__(self):
            index.collect()       # add_object_many holds the index exclusively
            yield item

def meddling_values():
    yield "c0"
    index.add_object(a)           # get_by_attribute holds the index shared

def raising_values():
    yield "c0"
    raise ValueError("no more values")

class Failing:
    def __init__(self, error):
        self.error = error
    def __hash__(self):
        raise self.error
    def __eq__(self, other):
        raise self.error
    def __iter__(self):
        raise self.error

failing = [
    (TypeError, lambda: index.add_object(5)),
    (TypeError, lambda: index.add_object_many("ab")),
    (TypeError, lambda: index.union_with(5)),
    (TypeError, lambda: index.reduced_query("eq")),
    (OverflowError, lambda: setattr(a, "n", 2**70)),
    (AttributeError, lambda: delattr(a, "n")),
    (RuntimeError, lambda: index.add_object_many([a, b, a])),
    (RuntimeError, lambda: index.union_with(index)),
    (RuntimeError, lambda: index.add_object_many(Meddling([a, b]))),
    (RuntimeError, lambda: index.get_by_attribute(colour=meddling_values())),
    (ValueError, lambda: index.reduce(colour=raising_values())),
    # A fatal failure raised by host code keeps propagating, but no write lock was held.
    (PanicException, lambda: setattr(a, "colour", Failing(PanicException("from host code")))),
    (PanicException, lambda: index.reduce(colour=Failing(PanicException("from host code")))),
    (PanicException, lambda: index.reduced_query(Q.eq("colour", Failing(PanicException("from host code"))))),
]
for error, call in failing:
    try:
        call()
    except error:
        pass
    else:
        raise AssertionError(f"{call} did not fail")
a.x = Failing(ValueError("unhashable"))   # grouped under hash 0, never raised
a.x = Failing(ValueError("unhashable"))
b.x = Failing(ValueError("unhashable"))
index.add_object(Indexable(colour="c1", x=Failing(ValueError("unhashable"))))
index.union_with(other)
a.colour, b.n = "c2", 100
assert [o.n for o in index.get_by_attribute(colour="c2")] == [0, 2, 5]
assert [o.n for o in index.reduced_query(Q.gt("n", 6)).collect()] == [100, 7]
)",
                 poisoning_globals());
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  for (const char* name : {"index", "other"}) {
    const Index& index = index_of(g, name);
    EXPECT_FALSE(index.query_maps->is_poisoned()) << name;
    EXPECT_FALSE(index.stored_items->is_poisoned()) << name;
    EXPECT_EQ(disagreement(global(g, name)), "") << name;
  }
}

}  // namespace
}  // namespace vostrel::py
