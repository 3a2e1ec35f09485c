// The host class Index: construction, the object list, adding and taking out objects, queries
// and union.
#include <algorithm>
#include <utility>
#include <vector>

#include "module/keyword_query.hpp"
#include "module/ordering.hpp"
#include "module/py_query_expr.hpp"
#include "module/records.hpp"

namespace vostrel::py {
namespace {

constexpr std::string_view kPyRefParams[] = {"py_ref"};
constexpr std::string_view kObjsParams[] = {"objs"};
constexpr std::string_view kQueryParams[] = {"query"};
constexpr std::string_view kOtherParams[] = {"other"};

constexpr Signature kNew{.function = "__new__", .owner = "Index"};
constexpr Signature kAddObject{.function = "add_object", .owner = "Index", .positional = kPyRefParams, .required = 1};
constexpr Signature kAddObjectMany{.function = "add_object_many", .owner = "Index", .positional = kObjsParams, .required = 1};
constexpr Signature kReduce{.function = "reduce", .owner = "Index", .varkw = true};
constexpr Signature kReduced{.function = "reduced", .owner = "Index", .varkw = true};
constexpr Signature kReducedQuery{.function = "reduced_query", .owner = "Index", .positional = kQueryParams, .required = 1};
constexpr Signature kGetByAttribute{.function = "get_by_attribute", .owner = "Index", .varkw = true};
constexpr Signature kUnionWith{.function = "union_with", .owner = "Index", .positional = kOtherParams, .required = 1};
constexpr Signature kRemoveObject{.function = "remove_object", .owner = "Index", .positional = kPyRefParams, .required = 1};
constexpr Signature kRemoveObjectMany{
    .function = "remove_object_many", .owner = "Index", .positional = kObjsParams, .required = 1};

IndexInstance* self_of(PyObject* self) { return IndexInstance::cast(self); }

/// Every item of `objs` as an Indexable (the argument error for `param` otherwise).
std::vector<Object> extract_indexables(std::string_view param, Handle objs) {
  return extract_items(param, objs, [](Handle item) {
    if (!is_instance(item, indexable_type())) raise_cannot_convert(item, "Indexable");
  });
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    bind(kNew, args, kwargs);
    return new_instance(type, Index::make());
  });
}

PyObject* index_collect(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    return object_list(inst->record.state, nullptr);
  });
}

PyObject* index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kAddObject, args, nargs, kwnames);
    IndexInstance* inst = self_of(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    IndexableInstance* obj = extract_indexable("py_ref", bound[0]);
    // Held exclusively from the indexing to the record, so no assignment can slip in between;
    // "Already mutably borrowed" when another call holds it so.
    { SharedBorrow probe(obj->borrow); }
    ExclusiveBorrow obj_borrow(obj->borrow);
    Py_INCREF(bound[0].ptr());
    Arrival arrival{&obj->record, OwnedHostRef::adopt(bound[0].ptr())};
    without_gil([&] { add_objects(inst->record, std::span<Arrival>(&arrival, 1)); });
    return none();
  });
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kAddObjectMany, args, nargs, kwnames);
    IndexInstance* inst = self_of(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    // An item listed twice meets its own borrow: the call fails unchanged.
    BorrowedObjects objects(extract_indexables("objs", bound[0]), true);
    std::vector<Arrival> arrivals = objects.arrivals();
    without_gil([&] { add_objects(inst->record, arrivals); });
    return none();
  });
}

/// Takes the objects out of the index; every one must be in it (KeyError naming the first that
/// is not), and none may be listed twice (the second meets the first's borrow).
void remove_from(IndexInstance* inst, std::vector<Object> objects) {
  const Object* absent = nullptr;
  {
    auto s = inst->record.state->read();
    for (const Object& obj : objects) {
      const Id id = IndexableInstance::cast(obj.handle())->record.id;
      if (s->stored_items.object(id) != obj.ptr()) {
        absent = &obj;
        break;
      }
    }
  }
  if (absent) {  // raised with no lock held: making the error may run host code
    PyErr_SetObject(PyExc_KeyError, absent->ptr());
    throw_host_error();
  }
  BorrowedObjects borrowed(std::move(objects), true);
  const std::vector<Indexable*> records = borrowed.records();
  std::vector<OwnedHostRef> released;
  released.reserve(records.size());
  without_gil([&] { remove_objects(inst->record, records, released); });
  drop_all(released);
}

PyObject* index_remove_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kRemoveObject, args, nargs, kwnames);
    IndexInstance* inst = self_of(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    extract_indexable("py_ref", bound[0]);
    std::vector<Object> one;
    one.push_back(Object::borrow(bound[0].ptr()));
    remove_from(inst, std::move(one));
    return none();
  });
}

PyObject* index_remove_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kRemoveObjectMany, args, nargs, kwnames);
    IndexInstance* inst = self_of(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    remove_from(inst, extract_indexables("objs", bound[0]));
    return none();
  });
}

/// Narrows the index to its objects that match `query`: the others leave it as if taken out
/// (value maps, range trees, ids, store; they no longer have it updated by assignments, and views
/// made earlier lose them too). A leaving object borrowed elsewhere fails the call unchanged.
void reduce_index(IndexInstance* inst, const KeywordQuery& query) {
  std::vector<Object> leaving;
  for (const Member& m : members_not_matching(inst->record, query)) leaving.push_back(Object::borrow(m.object));
  BorrowedObjects borrowed(std::move(leaving), true);
  const std::vector<Indexable*> records = borrowed.records();
  std::vector<OwnedHostRef> released;
  released.reserve(records.size());
  remove_objects(inst->record, records, released);
  drop_all(released);
}

PyObject* index_reduce(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kReduce, args, kwargs);
    IndexInstance* inst = self_of(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    const KeywordQuery query = kwargs_to_hash_query(bound.varkw.handle());
    reduce_index(inst, query);
    return none();
  });
}

PyObject* index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kReduced, args, kwargs);
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    const KeywordQuery query = kwargs_to_hash_query(bound.varkw.handle());
    const Index& index = inst->record;
    FilteredIndex view = without_gil([&] {
      auto s = index.state->read();
      return FilteredIndex::of(index, *s, filter_index_by_hashes(s->query_maps, query));
    });
    return new_filtered_index(std::move(view), Object::borrow(self));
  });
}

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kReducedQuery, args, nargs, kwnames);
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    const HeldQueryExpr query("query", bound[0]);
    const Index& index = inst->record;
    FilteredIndex view = without_gil([&] {
      auto s = index.state->read();
      return FilteredIndex::of(index, *s, evaluate_query(s->query_maps, s->ids, query.expr()));
    });
    return new_filtered_index(std::move(view), Object::borrow(self));
  });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kGetByAttribute, args, kwargs);
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    const KeywordQuery query = kwargs_to_hash_query(bound.varkw.handle());
    const Index& index = inst->record;
    FilteredIndex matched = [&] {
      auto s = index.state->read();
      return FilteredIndex::of(index, *s, filter_index_by_hashes(s->query_maps, query));
    }();
    return object_list(index.state, &matched);
  });
}

PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kUnionWith, args, nargs, kwnames);
    IndexInstance* other = extract_index("other", bound[0]);
    IndexInstance* inst = self_of(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    SharedBorrow other_borrow(other->borrow);  // a union with itself fails here, unchanged
    // Other's objects that this index lacks arrive as if each had been added: every one is
    // borrowed before anything changes, so that one busy elsewhere fails the call unchanged.
    std::vector<Object> arriving;
    for (const Member& m : members_missing_from(inst->record, other->record)) arriving.push_back(Object::borrow(m.object));
    for (const Object& obj : arriving) stored_indexable(obj.ptr());
    BorrowedObjects objects(std::move(arriving), true);
    std::vector<Arrival> arrivals = objects.arrivals();
    without_gil([&] { add_objects(inst->record, arrivals); });
    return none();
  });
}

Py_ssize_t index_length(PyObject* self) noexcept {
  Py_ssize_t n = -1;
  (void)call_status([&] {
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    n = static_cast<Py_ssize_t>(inst->record.state->read()->ids.cardinality());
  });
  return n;
}

int index_contains(PyObject* self, PyObject* obj) noexcept {
  int found = -1;
  const int status = call_status([&] {
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    found = 0;
    if (!is_instance(Handle(obj), indexable_type())) return;
    const Id id = IndexableInstance::cast(obj)->record.id;
    found = inst->record.state->read()->stored_items.object(id) == obj ? 1 : 0;
  });
  return status < 0 ? -1 : found;  // a failure after `found` was set still fails
}

PyObject* index_iter(PyObject* self) noexcept {
  return call_object([&] {
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    return new_iterator(inst->record.state, nullptr, Object::borrow(self));
  });
}

PyObject* index_sorted_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(sorted_by_signature("Index"), args, nargs, kwnames);
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    return sorted_by(inst->record.state, nullptr, bound);
  });
}

PyObject* index_value_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(value_counts_signature("Index"), args, nargs, kwnames);
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    return value_counts(inst->record.state, nullptr, bound);
  });
}

PyObject* index_reduce_for_pickle(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    IndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    Object objects = object_list(inst->record.state, nullptr);
    return require(Py_BuildValue("(O(sO))", restore_function(), "index", objects.ptr()));
  });
}

int index_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  IndexInstance* inst = self_of(self);
  // The store changes only while its Index is held exclusively, by an operation that may be
  // running without the interpreter lock: its references then count as held from outside. The
  // borrow changes only with the lock held, so the answer is the same for a whole collection.
  if (inst->borrow.state == BorrowFlag::kExclusive || !inst->record.state) return 0;
  int result = 0;
  inst->record.state->unlocked().stored_items.for_each([&](Id, const StoredItem& slot) {
    if (result == 0) result = visit(slot.object, arg);
  });
  return result;
}

int index_clear(PyObject* self) noexcept {
  return call_status([&] {
    IndexInstance* inst = self_of(self);
    if (!inst->record.state) return;
    std::vector<OwnedHostRef> released;
    clear_index(inst->record, released);
    drop_all(released);
  });
}

PyMethodDef* methods() {
  static PyMethodDef* table = method_table({
      method<&index_collect>("collect", "($self)",
                             "The indexed objects, in ascending object id (creation) order, as a new list."),
      method<&index_add_object_many>(
          "add_object_many", "($self, objs)",
          "Adds every Indexable of the iterable `objs` (not a str). Each is borrowed for the whole call: an\n"
          "object listed twice or in use elsewhere raises RuntimeError and nothing is added. Releases the GIL."),
      method<&index_add_object>("add_object", "($self, py_ref)",
                                "Adds one Indexable; its attributes not beginning with '_' become searchable. "
                                "Adding it again\nchanges nothing. Releases the GIL."),
      method<&index_reduce>("reduce", "($self, **kwargs)",
                            "Narrows this index in place to the objects matching the keyword filter (see "
                            "get_by_attribute);\nthe others leave it, and the views made from it. Returns None."),
      method<&index_reduced>("reduced", "($self, **kwargs)",
                             "A view (FilteredIndex) of the objects matching the keyword filter. Releases the GIL."),
      method<&index_reduced_query>("reduced_query", "($self, query)",
                                   "A view (FilteredIndex) of the objects matching the PyQueryExpr `query`. Releases "
                                   "the GIL."),
      method<&index_get_by_attribute>(
          "get_by_attribute", "($self, **kwargs)",
          "The objects whose attribute equals, for every keyword, one of its values, as a list in id order.\n"
          "A str is one value, another iterable gives its values, anything else is one value; values are\n"
          "compared by hash(). No keywords give an empty list."),
      method<&index_union_with>("union_with", "($self, other)",
                                "Brings every object of the Index `other` into this index, as if each had been "
                                "added; `other`\nis unchanged. Releases the GIL."),
      method<&index_remove_object>(
          "remove_object", "($self, py_ref)",
          "Takes one object out of this index (and the views made from it); KeyError when it is not in it.\n"
          "Releases the GIL."),
      method<&index_remove_object_many>(
          "remove_object_many", "($self, objs)",
          "Takes every object of the iterable `objs` out of this index; KeyError (and nothing removed) when\n"
          "one is not in it, RuntimeError when one is listed twice. Releases the GIL."),
      method<&index_sorted_by>(
          "sorted_by", "($self, attr, *, reverse=False, limit=None)",
          "The objects ordered by their value of `attr` as sorted() orders values (ties in id order), at\n"
          "most `limit` of them; objects without the attribute, or whose value is NaN, come last in id\n"
          "order. Values that Python cannot order against each other raise TypeError."),
      method<&index_value_counts>(
          "value_counts", "($self, attr)",
          "A dict from each value of `attr` (one per group of equal hashes) to the number of objects\n"
          "holding it, by descending count, then by the first holder's id."),
      method<&index_reduce_for_pickle>("__reduce__", "($self)",
                                       "Pickling and copying: the objects, loaded into a new Index."),
      class_method<&generic_alias>("__class_getitem__", "($cls, item, /)",
                                   "Index[Record] for type annotations: an index of Record objects."),
  });
  return table;
}

}  // namespace

Object new_index(Index index) { return new_instance(index_type(), std::move(index)); }

PyTypeObject* index_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(class_doc("Index", "()", "An index of Indexable objects by attribute value."))},
        {Py_tp_new, reinterpret_cast<void*>(&index_new)},
        {Py_tp_methods, methods()},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<Index>)},
        {Py_tp_traverse, reinterpret_cast<void*>(&index_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&index_clear)},
        {Py_tp_iter, reinterpret_cast<void*>(&index_iter)},
        {Py_sq_length, reinterpret_cast<void*>(&index_length)},
        {Py_sq_contains, reinterpret_cast<void*>(&index_contains)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        .name = "builtins.Index",
        .basicsize = sizeof(IndexInstance),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
        .slots = slots,
    };
    return create_type(type_spec);
  }();
  return type;
}

}  // namespace vostrel::py
