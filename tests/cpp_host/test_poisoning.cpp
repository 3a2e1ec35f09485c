// Failures inside index operations, from host code: a fatal failure under an index's write lock
// leaves that index poisoned and every later user of it failing, while read locks and ordinary
// errors poison nothing and leave every index consistent with its objects.
#include <Python.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "host_support.hpp"

namespace vostrel::py {
namespace {

using host_test::disagreement;
using host_test::global;
using host_test::index_of;
using host_test::run;

/// Globals with the failure texts and a helper that expects a PanicException carrying one.
Object poisoning_globals() {
  Object g = host_test::host_globals();
  PyDict_SetItemString(g.ptr(), "POISONED", new_str(kPoisonedLock).ptr());
  PyDict_SetItemString(g.ptr(), "MISSING", new_str(kMissingValue).ptr());
  return run(R"(
def panics(call, text):
    try:
        call()
    except PanicException as e:
        got = e.args
    else:
        got = "no failure"
    assert got == (text,), (call, got, text)
)",
             std::move(g));
}

const Indexable& record_of(const Object& g, const char* name) {
  return IndexableInstance::cast(global(g, name))->record;
}
long borrow_state(const Object& g, const char* name) {
  const Handle obj = global(g, name);
  return is_instance(obj, index_type()) ? IndexInstance::cast(obj)->borrow.state
                                        : IndexableInstance::cast(obj)->borrow.state;
}

/// Poisons the lock as an operation that fails while it holds it for writing would.
void poison(const Index& index) {
  try {
    auto guard = index.state->write();
    fatal("injected failure");
  } catch (const FatalError&) {
  }
  ASSERT_TRUE(index.state->is_poisoned());
}

TEST(Poisoning, FatalFailureUnderTheWriteLockPoisonsThatIndexOnly) {
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
  // An index whose ids lost x, though its store still holds it: taking x out fails fatally
  // while the index is held for writing.
  index_of(g, "a").state->write()->ids.remove(record_of(g, "x").id);
  run(R"(
panics(lambda: a.remove_object(x), "an object to take out of an index is not in it")
for call in [
    a.collect,
    lambda: len(a),
    lambda: x in a,                         # no answer with the failure left pending
    lambda: x in view,
    lambda: list(a),
    lambda: a.get_by_attribute(colour="red"),
    lambda: a.reduced(colour="red"),
    lambda: a.reduced_query(Q.eq("colour", "red")),
    lambda: a.add_object(w),
    lambda: a.add_object_many([w]),
    lambda: a.remove_object(y),
    lambda: a.reduce(colour="red"),
    lambda: a.union_with(b),
    lambda: b.union_with(a),                # reads a before b changes
    view.collect,
    view.rebase,
    lambda: view.reduced(colour="red"),
    lambda: setattr(x, "colour", "green"),
    lambda: setattr(y, "colour", "green"),  # fails before b is touched
]:
    panics(call, POISONED)
assert (x.colour, y.colour) == ("red", "blue")  # reads take no index lock
z.colour = "green"
assert b.get_by_attribute(colour="blue") == [y]
assert b.get_by_attribute(colour="green") == [z]
assert b.collect() == [y, z]
)",
      Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_TRUE(index_of(g, "a").state->is_poisoned());
  EXPECT_FALSE(index_of(g, "b").state->is_poisoned());
  EXPECT_EQ(disagreement(global(g, "b")), "");
  for (const char* name : {"a", "b", "x", "y", "z", "w"}) EXPECT_EQ(borrow_state(g, name), 0) << name;
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
  // Assignments update indexes in ascending identity: poison the one updated last.
  const Index& p = index_of(g, "p");
  const Index& q = index_of(g, "q");
  const bool p_first = std::less<const void*>{}(p.state.get(), q.state.get());
  PyDict_SetItemString(g.ptr(), "healthy", global(g, p_first ? "p" : "q").ptr());
  poison(p_first ? q : p);
  run(R"(
panics(lambda: setattr(y, "colour", "green"), POISONED)
assert y.colour == "blue"
assert healthy.get_by_attribute(colour="blue") == [y]
assert healthy.get_by_attribute(colour="green") == []
)",
      Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_EQ(disagreement(global(g, "healthy")), "");
}

TEST(Poisoning, FailuresUnderReadLocksPoisonNothing) {
  Object g = run(R"(
a = Index()
x, y = Indexable(colour="red", n=1), Indexable(colour="blue", n=2)
a.add_object_many([x, y])
)",
                 poisoning_globals());
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  const Index& a = index_of(g, "a");
  constexpr Id kUnstored = 4'000'000;  // an id with no object in the store
  const Id x = record_of(g, "x").id;
  {
    auto s = a.state->write();
    s->ids.add(kUnstored);
    // A view admitting ids without objects (the never used slot 0 among them) admits x alone.
    PyDict_SetItemString(g.ptr(), "view",
                         new_filtered_index(FilteredIndex::of(a, *s, Bitmap::of({0, x, kUnstored})),
                                            Object::borrow(global(g, "a").ptr()))
                             .ptr());
  }
  run("panics(a.collect, MISSING)", Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_FALSE(a.state->is_poisoned()) << "read by collect";
  a.state->write()->ids.remove(kUnstored);
  run(R"(
assert view.collect() == [x]
assert view.rebase().collect() == [x]
w = Indexable(colour="red", n=3)
a.add_object(w)
x.colour = "green"
assert a.get_by_attribute(colour=["red", "green"]) == [x, w]
assert a.reduced_query(Q.ge("n", 2)).collect() == [y, w]
assert a.collect() == [x, y, w]
)",
      Object::borrow(g.ptr()));
  ASSERT_FALSE(HasFailure()) << "the host code above failed";
  EXPECT_EQ(disagreement(global(g, "a")), "");
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
    (KeyError, lambda: index.remove_object(objects[7])),
    (KeyError, lambda: index.remove_object_many([b, objects[7]])),
    (RuntimeError, lambda: index.remove_object_many([a, a])),
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
    EXPECT_FALSE(index_of(g, name).state->is_poisoned()) << name;
    EXPECT_EQ(disagreement(global(g, name)), "") << name;
  }
}

}  // namespace
}  // namespace vostrel::py
