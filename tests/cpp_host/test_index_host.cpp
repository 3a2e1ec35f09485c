// Indexes driven from host code inside an embedded interpreter, checked against the objects'
// own attributes by reading the index records directly: adding, assigning, and threads doing both.
#include <Python.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "module/classes.hpp"
#include "module/records.hpp"

namespace vostrel::py {
namespace {

/// Runs host code with Index and Indexable in scope; returns its globals.
Object run(const char* code) {
  Object globals = require(PyDict_New());
  PyDict_SetItemString(globals.ptr(), "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(globals.ptr(), "Index", reinterpret_cast<PyObject*>(index_type()));
  PyDict_SetItemString(globals.ptr(), "Indexable", reinterpret_cast<PyObject*>(indexable_type()));
  PyObject* result = PyRun_String(code, Py_file_input, globals.ptr(), globals.ptr());
  if (!result) {
    PyErr_Print();
    ADD_FAILURE() << "host code failed";
  }
  Py_XDECREF(result);
  return globals;
}

Handle global(const Object& globals, const char* name) { return Handle(PyDict_GetItemString(globals.ptr(), name)); }

using Contents = std::map<std::pair<std::string, std::uint64_t>, std::set<Id>>;

/// Where the index's table differs from the indexable attributes of the objects in its store;
/// empty when they agree.
std::string disagreement(Handle index_obj) {
  const Index& index = IndexInstance::cast(index_obj)->record;
  auto table = index.query_maps->read();
  auto store = index.stored_items->read();
  if (auto reason = verify_table(*table)) return *reason;
  Contents expected, actual;
  std::set<Id> stored;
  for (const auto& slot : *store) {
    if (!slot) continue;
    const Indexable& obj = IndexableInstance::cast(Handle(slot.object.get()))->record;
    stored.insert(obj.id);
    for (const auto& [name, value] : obj.attributes)
      if (is_indexable_name(name.view())) expected[{std::string(name.view()), value.hash()}].insert(obj.id);
  }
  for (const auto& [name, map] : *table)
    for (const auto& [value, set] : map->value_sets) {
      auto ids = set.to_vector();
      if (!ids.empty()) actual[{std::string(name.view()), value}].insert(ids.begin(), ids.end());
    }
  if (expected != actual) return "table and attributes differ";
  auto ids = index.ids.to_vector();
  if (std::set<Id>(ids.begin(), ids.end()) != stored) return "ids and store differ";
  return "";
}

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
index.add_object(a)      # twice: two records, still one slot
a.size = 10
)");
  EXPECT_EQ(disagreement(global(g, "index")), "");
  const Index& index = IndexInstance::cast(global(g, "index"))->record;
  auto table = index.query_maps->read();
  EXPECT_TRUE(table->contains(AttrName("shape")));
  EXPECT_FALSE(table->contains(AttrName("_hidden")));
  EXPECT_FALSE(table->contains(AttrName("_other")));
  EXPECT_EQ(IndexableInstance::cast(global(g, "a"))->record.index_meta.size(), 2u);
}

TEST(IndexHost, SoleHolderMovesAndTheMapIsRebuilt) {
  Object g = run(R"(
index = Index()
a = Indexable(colour="blue")
index.add_object(a)
a.colour = "red"
)");
  const Index& index = IndexInstance::cast(global(g, "index"))->record;
  auto table = index.query_maps->read();
  const QueryMap& map = *table->find(AttrName("colour"))->second;
  EXPECT_EQ(map.value_sets.size(), 1u);  // blue is gone
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

def reader(seed):
    rng = random.Random(seed)
    for _ in range(600):
        obj = rng.choice(objects)
        guarded(lambda: getattr(obj, "n"))
        guarded(lambda: repr(obj))
        guarded(lambda: rng.choice(indexes).collect())

threads = [threading.Thread(target=f, args=(s,)) for s, f in enumerate([adder, adder, assigner, assigner, reader])]
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
