// The host class Index: construction, the object list, adding indexable objects, queries and union.
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "module/classes.hpp"
#include "module/keyword_query.hpp"
#include "module/py_query_expr.hpp"
#include "module/records.hpp"

namespace vostrel::py {
namespace {

constexpr Signature kNew{.function = "__new__", .owner = "Index"};
constexpr std::string_view kPyRefParams[] = {"py_ref"};
constexpr Signature kAddObject{.function = "add_object", .owner = "Index", .positional = kPyRefParams, .required = 1};
constexpr std::string_view kObjsParams[] = {"objs"};
constexpr Signature kAddObjectMany{
    .function = "add_object_many", .owner = "Index", .positional = kObjsParams, .required = 1};

constexpr Signature kReduce{.function = "reduce", .owner = "Index", .varkw = true};
constexpr Signature kReduced{.function = "reduced", .owner = "Index", .varkw = true};
constexpr std::string_view kQueryParams[] = {"query"};
constexpr Signature kReducedQuery{
    .function = "reduced_query", .owner = "Index", .positional = kQueryParams, .required = 1};
constexpr Signature kGetByAttribute{.function = "get_by_attribute", .owner = "Index", .varkw = true};

Object none() { return Object::borrow(Py_None); }

/// A new strong reference to obj, as the store holds it.
StoredItem stored_item(Handle obj) {
  Py_INCREF(obj.ptr());
  return StoredItem::adopt(obj.ptr());
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    bind_tuple(kNew, args, kwargs);
    return new_instance(type, Index::make());
  });
}

PyObject* index_collect(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    IndexInstance* inst = IndexInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    return stored_list(*inst->record.stored_items, inst->record.ids);
  });
}

// --- Union ---

constexpr std::string_view kOtherParams[] = {"other"};
constexpr Signature kUnionWith{.function = "union_with", .owner = "Index", .positional = kOtherParams, .required = 1};

/// The Index behind argument `other`, or the argument error naming it.
IndexInstance* extract_index(std::string_view param, Handle obj) {
  if (!is_instance(obj, index_type())) convert_arg(param, [&] { raise_cannot_convert(obj, "Index"); });
  return IndexInstance::cast(obj);
}

PyObject* index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    BoundArgs bound = bind_fast(kUnionWith, args, nargs, kwnames);
    IndexInstance* other = extract_index("other", bound[0]);
    IndexInstance* inst = IndexInstance::cast(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    SharedBorrow other_borrow(other->borrow);  // a union with itself fails here, unchanged

    Index& index = inst->record;
    const Index& theirs = other->record;
    UnionArrivals arrivals = union_arrivals(index, theirs);
    // Every arriving object is held before anything changes, so that one borrowed elsewhere
    // fails the call unchanged and no assignment runs between the merge and the registration.
    std::vector<IndexableInstance*> objects;
    std::vector<std::optional<ExclusiveBorrow>> borrows;
    objects.reserve(arrivals.items.size());
    borrows.reserve(arrivals.items.size());
    for (const StoredItem& item : arrivals.items) {
      const Handle obj(item.object.get());
      if (!is_instance(obj, indexable_type())) fatal_failed_conversion();
      objects.push_back(IndexableInstance::cast(obj));
      borrows.emplace_back(std::in_place, objects.back()->borrow);
    }
    expect_unpoisoned(index);

    without_gil([&] { union_with(index, theirs, std::move(arrivals)); });
    for (std::size_t i = 0; i < objects.size(); ++i) {
      add_index(objects[i]->record, IndexMeta{index.query_maps});
      borrows[i].reset();
    }
    return none();
  });
}

PyObject* index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    BoundArgs bound = bind_fast(kAddObject, args, nargs, kwnames);
    IndexInstance* inst = IndexInstance::cast(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    IndexableInstance* obj = extract_indexable("py_ref", bound[0]);
    // Held exclusively from the snapshot to the record, so no assignment can slip between the
    // indexing and the registration; "Already mutably borrowed" when another call holds it so.
    { SharedBorrow probe(obj->borrow); }
    ExclusiveBorrow obj_borrow(obj->borrow);

    expect_unpoisoned(inst->record);
    const Id id = obj->record.id;
    std::vector<std::pair<AttrName, PyValue>> snapshot;
    for (const auto& [name, value] : obj->record.attributes)
      if (is_indexable_name(name.view())) snapshot.emplace_back(name, value);
    StoredItem item = stored_item(bound[0]);

    Index& index = inst->record;
    without_gil([&] {
      index.ids.add(id);
      store_item(*index.stored_items->write(), id, std::move(item));
      auto table = index.query_maps->write();
      for (auto& [name, value] : snapshot) _add_index(*table, id, std::move(name), value);
    });
    add_index(obj->record, IndexMeta{index.query_maps});
    return none();
  });
}

/// A sequence's length is trusted only this far when reserving room for its items: beyond it
/// the array grows as items arrive, so a lying `__len__` cannot demand one huge allocation.
constexpr Py_ssize_t kMaxReservedItems = Py_ssize_t{1} << 16;

/// The items of objs as Indexables, in sequence order; strings and non-sequences are refused.
std::vector<Object> extract_indexables(Handle objs) {
  return convert_arg("objs", [&] {
    if (PyUnicode_Check(objs.ptr())) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(objs.ptr())) raise_cannot_convert(objs, "Sequence");
    const Py_ssize_t hint = PyObject_LengthHint(objs.ptr(), 0);
    if (hint < 0) throw_host_error();
    std::vector<Object> items;
    items.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedItems)));
    // Iterated rather than indexed up to a length read once, so that a sequence whose length
    // changes or lies while its items are read gives exactly the items it yields.
    Object iter = require(PyObject_GetIter(objs.ptr()));
    while (PyObject* next = PyIter_Next(iter.ptr())) {
      Object item = Object::steal(next);
      if (!is_instance(item.handle(), indexable_type())) raise_cannot_convert(item.handle(), "Indexable");
      items.push_back(std::move(item));
    }
    if (PyErr_Occurred()) throw_host_error();
    return items;
  });
}

PyObject* index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return call_object([&] {
    BoundArgs bound = bind_fast(kAddObjectMany, args, nargs, kwnames);
    IndexInstance* inst = IndexInstance::cast(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    const std::vector<Object> items = extract_indexables(bound[0]);
    std::vector<std::optional<ExclusiveBorrow>> borrows;  // an item listed twice fails here, unchanged
    borrows.reserve(items.size());
    for (const Object& item : items)
      borrows.emplace_back(std::in_place, IndexableInstance::cast(item.handle())->borrow);

    Index& index = inst->record;
    expect_unpoisoned(index);
    without_gil([&] {
      auto table = index.query_maps->write();
      for (const Object& item : items) {
        const Indexable& record = IndexableInstance::cast(item.handle())->record;
        index.ids.add(record.id);
        for (const auto& [name, value] : record.attributes)
          if (is_indexable_name(name.view())) _add_index(*table, record.id, name, value);
      }
    });
    auto store = index.stored_items->write();
    for (std::size_t i = 0; i < items.size(); ++i) {
      Indexable& record = IndexableInstance::cast(items[i].handle())->record;
      add_index(record, IndexMeta{index.query_maps});
      StoredItem item = stored_item(items[i].handle());
      borrows[i].reset();
      store_item(*store, record.id, std::move(item));
    }
    return none();
  });
}

/// The Indexable stored in slot id; the missing-value error when there is none.
IndexableInstance* stored_indexable(const ItemStore& store, Id id) {
  PyObject* obj = stored_at(store, id).object.get();
  if (!is_instance(Handle(obj), indexable_type())) fatal_failed_conversion();
  return IndexableInstance::cast(obj);
}

/// The borrow error an object would raise, or null when it can be borrowed so.
const char* borrow_conflict(const BorrowFlag& flag, bool exclusive) {
  if (exclusive) return flag.state != 0 ? "Already borrowed" : nullptr;
  return flag.state == BorrowFlag::kExclusive ? "Already mutably borrowed" : nullptr;
}

/// Narrows the index to its objects that match `query`: the others leave its value sets, its
/// range trees, its ids and its list of objects, and no longer have it updated by assignments.
/// Their store slots stay, for the views made earlier. A matching object held exclusively
/// elsewhere, or another one borrowed at all, fails the call before anything changes.
void reduce_index(Index& index, const KeywordQuery& query) {
  expect_unpoisoned(index);
  const char* conflict = nullptr;
  {
    auto table = index.query_maps->write();
    const Bitmap matched = filter_index_by_hashes(*table, query);
    Bitmap kept = Bitmap::and_(index.ids, matched);
    const Bitmap dropped = Bitmap::andnot(index.ids, matched);

    auto store = index.stored_items->read();
    std::vector<IndexableInstance*> kept_objects;
    std::vector<IndexableInstance*> dropped_objects;
    kept.for_each([&](Id id) { kept_objects.push_back(stored_indexable(*store, id)); });
    dropped.for_each([&](Id id) { dropped_objects.push_back(stored_indexable(*store, id)); });
    // Checked first, without raising: raising may run host code, which must not find the lock held.
    for (IndexableInstance* obj : kept_objects)
      if (!conflict) conflict = borrow_conflict(obj->borrow, false);
    for (IndexableInstance* obj : dropped_objects)
      if (!conflict) conflict = borrow_conflict(obj->borrow, true);
    if (!conflict) {
      std::vector<SharedBorrow> kept_borrows;
      kept_borrows.reserve(kept_objects.size());
      for (IndexableInstance* obj : kept_objects) kept_borrows.emplace_back(obj->borrow);
      std::vector<ExclusiveBorrow> dropped_borrows;
      dropped_borrows.reserve(dropped_objects.size());
      for (IndexableInstance* obj : dropped_objects) dropped_borrows.emplace_back(obj->borrow);

      narrow_value_sets(*table, matched);
      for (IndexableInstance* obj : dropped_objects) {
        remove_numeric_pairs(*table, obj->record);
        remove_index(obj->record, index.query_maps.get());
      }
      for (IndexableInstance* obj : kept_objects) index_attributes(*table, obj->record);
      index.ids = std::move(kept);
    }
  }
  if (conflict) raise(PyExc_RuntimeError, conflict);
}

PyObject* index_reduce(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    BoundArgs bound = bind_tuple(kReduce, args, kwargs);
    IndexInstance* inst = IndexInstance::cast(self);
    ExclusiveBorrow index_borrow(inst->borrow);
    const KeywordQuery query = kwargs_to_hash_query(bound.varkw.handle());
    reduce_index(inst->record, query);
    return none();
  });
}

PyObject* index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    BoundArgs bound = bind_tuple(kReduced, args, kwargs);
    IndexInstance* inst = IndexInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    const KeywordQuery query = kwargs_to_hash_query(bound.varkw.handle());
    const Index& index = inst->record;
    FilteredIndex view = without_gil([&] {
      auto table = index.query_maps->read();
      return FilteredIndex::of(index, filter_index_by_hashes(*table, query));
    });
    return new_filtered_index(std::move(view));
  });
}

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    BoundArgs bound = bind_fast(kReducedQuery, args, nargs, kwnames);
    IndexInstance* inst = IndexInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    const QueryExpr expr = convert_arg("query", [&] { return copy_query_expr(bound[0]); });
    const Index& index = inst->record;
    FilteredIndex view = without_gil([&] {
      auto table = index.query_maps->read();
      return FilteredIndex::of(index, evaluate_query(*table, index.ids, expr));
    });
    return new_filtered_index(std::move(view));
  });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    BoundArgs bound = bind_tuple(kGetByAttribute, args, kwargs);
    IndexInstance* inst = IndexInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    const KeywordQuery query = kwargs_to_hash_query(bound.varkw.handle());
    const Index& index = inst->record;
    // The matching ids are fixed once the table's lock is released: the store only gains
    // objects, so each of them is still there when the list is filled.
    const Bitmap matched = filter_index_by_hashes(*index.query_maps->read(), query);
    return stored_list(*index.stored_items, matched);
  });
}

PyMethodDef kMethods[] = {
    {"collect", reinterpret_cast<PyCFunction>(&index_collect), METH_NOARGS, "collect($self)\n--\n\n"},
    {"add_object_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_add_object_many)),
     METH_FASTCALL | METH_KEYWORDS, "add_object_many($self, objs)\n--\n\n"},
    {"add_object", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_add_object)),
     METH_FASTCALL | METH_KEYWORDS, "add_object($self, py_ref)\n--\n\n"},
    {"reduce", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_reduce)),
     METH_VARARGS | METH_KEYWORDS, "reduce($self, **kwargs)\n--\n\n"},
    {"reduced", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_reduced)),
     METH_VARARGS | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_reduced_query)),
     METH_FASTCALL | METH_KEYWORDS, "reduced_query($self, query)\n--\n\n"},
    {"get_by_attribute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_get_by_attribute)),
     METH_VARARGS | METH_KEYWORDS, "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"union_with", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&index_union_with)),
     METH_FASTCALL | METH_KEYWORDS, "union_with($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&index_new)},
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<Index>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.Index",
    .basicsize = sizeof(IndexInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSlots,
};

}  // namespace

Object new_index(Index index) { return new_instance(index_type(), std::move(index)); }

PyTypeObject* index_type() {
  static PyTypeObject* type = create_type(kSpec);
  return type;
}

}  // namespace vostrel::py
