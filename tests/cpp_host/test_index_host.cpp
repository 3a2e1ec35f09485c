// Indexes driven from host code inside an embedded interpreter, checked against the objects'
// own attributes by reading the index records directly: adding, assigning, taking out, and threads
// doing all of it at once.
#include <Python.h>
#include <gtest/gtest.h>

#include "host_support.hpp"

namespace vostrel::py {
namespace {

using host_test::disagreement;
using host_test::global;
using host_test::run;

TEST(IndexHost, AddingAndAssigningKeepTheTableInStep) {
  Object g = run(R"(
index = Index()
a = Indexable(colour="blue", size=3, _hidden=1)
b = Indexable(colour="blue", size=4.5)
index.add_object(a)
index.add_object_many([b])
a.colour = "red"
b.size = 7
a.shape = "round"        # a new attribute is indexed at once
a._other = 2             # never indexed
index.add_object(a)      # again: nothing changes
a.size = 10
index.remove_object(b)
b.colour = "green"       # an index the object left is left alone
)");
  EXPECT_EQ(disagreement(global(g, "index")), "");
  auto s = host_test::index_of(g, "index").state->read();
  EXPECT_TRUE(s->query_maps.contains(AttrName("shape")));
  EXPECT_FALSE(s->query_maps.contains(AttrName("_hidden")));
  EXPECT_FALSE(s->query_maps.contains(AttrName("_other")));
  EXPECT_EQ(IndexableInstance::cast(global(g, "a"))->record.index_meta.size(), 1u);
  EXPECT_TRUE(IndexableInstance::cast(global(g, "b"))->record.index_meta.empty());
}

TEST(IndexHost, SoleHolderMovesAndTheMapIsRebuilt) {
  Object g = run(R"(
index = Index()
a = Indexable(colour="blue")
index.add_object(a)
a.colour = "red"
)");
  auto s = host_test::index_of(g, "index").state->read();
  EXPECT_EQ(find_map(s->query_maps, AttrName("colour"))->value_sets.size(), 1u);  // blue is gone
  EXPECT_EQ(disagreement(global(g, "index")), "");
}

TEST(IndexHost, ThreadsAddAssignAndReadOnSharedIndexes) {
  Object g = run(R"(
import random, sys, threading
sys.setswitchinterval(1e-5)  # switch threads often, also inside short calls
conflicts = [0]
indexes = [Index(), Index()]
objects = [Indexable(n=i, colour="c%d" % (i % 3)) for i in range(40)]
errors = []
expected = {"Already borrowed", "Already mutably borrowed"}

def guarded(action):
    try:
        action()
    except KeyError:  # not in the index
        pass
    except RuntimeError as e:
        if str(e) not in expected:
            errors.append(repr(e))
        conflicts[0] += 1
    except Exception as e:
        errors.append(repr(e))

def adder(seed):
    rng = random.Random(seed)
    for _ in range(150):
        index = rng.choice(indexes)
        if rng.random() < 0.5:
            guarded(lambda: index.add_object(rng.choice(objects)))
        else:
            guarded(lambda: index.add_object_many(rng.sample(objects, 3)))

def assigner(seed):
    rng = random.Random(seed)
    for _ in range(400):
        obj = rng.choice(objects)
        name = rng.choice(["n", "colour", "extra", "_p"])
        value = rng.choice([rng.randrange(10), rng.random(), "s%d" % rng.randrange(4)])
        def assign():
            setattr(obj, name, value)
        guarded(assign)

def remover(seed):
    rng = random.Random(seed)
    for _ in range(150):
        index = rng.choice(indexes)
        choice = rng.random()
        if choice < 0.4:
            guarded(lambda: index.reduce(colour=["c0", "c1"]))
        elif choice < 0.7:
            guarded(lambda: index.union_with(rng.choice(indexes)))
        else:
            for obj in rng.sample(objects, 3):
                guarded(lambda: index.remove_object(obj))

def reader(seed):
    rng = random.Random(seed)
    for _ in range(600):
        obj = rng.choice(objects)
        index = rng.choice(indexes)
        guarded(lambda: getattr(obj, "n"))
        guarded(lambda: repr(obj))
        guarded(lambda: index.collect())
        guarded(lambda: index.reduced(colour="c1").collect())

threads = [threading.Thread(target=f, args=(s,))
           for s, f in enumerate([adder, adder, assigner, assigner, remover, reader])]
for t in threads: t.start()
for t in threads: t.join(timeout=60)
alive = [t for t in threads if t.is_alive()]
index0, index1 = indexes
sys.setswitchinterval(0.005)
)");
  ASSERT_EQ(PyObject_Length(global(g, "alive").ptr()), 0) << "a thread hung";
  Object errors = Object::borrow(global(g, "errors").ptr());
  Object text = require(PyObject_Repr(errors.ptr()));
  EXPECT_EQ(PyList_GET_SIZE(errors.ptr()), 0) << utf8_view(text.handle());
  EXPECT_EQ(disagreement(global(g, "index0")), "");
  EXPECT_EQ(disagreement(global(g, "index1")), "");
}

}  // namespace
}  // namespace vostrel::py
