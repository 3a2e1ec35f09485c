// The host class FilteredIndex: a view of some of an index's objects, obtained only as a result.
#include <optional>
#include <vector>

#include "module/classes.hpp"
#include "module/keyword_query.hpp"
#include "module/records.hpp"

namespace vostrel::py {

Object stored_objects_list(const ItemStore& store, const Bitmap& ids) {
  Object list = require(PyList_New(static_cast<Py_ssize_t>(ids.cardinality())));
  Py_ssize_t i = 0;
  ids.for_each([&](Id id) {
    PyObject* obj = stored_at(store, id).object.get();
    Py_INCREF(obj);
    PyList_SET_ITEM(list.ptr(), i++, obj);
  });
  return list;
}

Object new_filtered_index(FilteredIndex view) { return new_instance(filtered_index_type(), std::move(view)); }

namespace {

constexpr Signature kReduced{.function = "reduced", .owner = "FilteredIndex", .varkw = true};

PyObject* filtered_reduced(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    BoundArgs bound = bind_tuple(kReduced, args, kwargs);
    FilteredIndexInstance* inst = FilteredIndexInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    const KeywordQuery query = kwargs_to_hash_query(bound.varkw.handle());
    const FilteredIndex& view = inst->record;
    FilteredIndex result = without_gil([&] {
      auto table = view.query_maps->read();
      return view.narrowed(filter_index_by_hashes(*table, query));
    });
    return new_filtered_index(std::move(result));
  });
}

PyObject* filtered_collect(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    FilteredIndexInstance* inst = FilteredIndexInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    auto store = inst->record.stored_items->read();
    return stored_objects_list(*store, inst->record.ids);
  });
}

/// The Indexable stored in slot id of `store`: out-of-range error beyond the store, missing-value
/// error for an empty slot.
IndexableInstance* stored_indexable(const ItemStore& store, Id id) {
  if (id >= store.size()) fatal_out_of_range();
  PyObject* obj = stored_at(store, id).object.get();
  if (!is_instance(Handle(obj), indexable_type())) fatal_failed_conversion();
  return IndexableInstance::cast(obj);
}

PyObject* filtered_rebase(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    FilteredIndexInstance* inst = FilteredIndexInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    const FilteredIndex& view = inst->record;
    std::optional<Index> rebased;
    {
      auto source = view.stored_items->read();
      // Every admitted object is borrowed before anything is built, so a busy one fails the call
      // with nothing registered.
      std::vector<IndexableInstance*> objects;
      objects.reserve(view.ids.cardinality());
      view.ids.for_each([&](Id id) { objects.push_back(stored_indexable(*source, id)); });
      std::vector<ExclusiveBorrow> borrows;
      borrows.reserve(objects.size());
      for (IndexableInstance* obj : objects) borrows.emplace_back(obj->borrow);

      rebased.emplace(make_rebased(view.ids));
      Index& index = *rebased;
      const IndexMeta record{index.query_maps};
      auto table = index.query_maps->write();
      auto store = index.stored_items->write();
      for (IndexableInstance* obj : objects) {
        const Id id = obj->record.id;
        add_index(obj->record, record);
        (*store)[id] = *(*source)[id];
        index_attributes(*table, obj->record);
      }
    }
    return new_index(std::move(*rebased));
  });
}

PyMethodDef kMethods[] = {
    {"reduced", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&filtered_reduced)),
     METH_VARARGS | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"collect", reinterpret_cast<PyCFunction>(&filtered_collect), METH_NOARGS, "collect($self)\n--\n\n"},
    {"rebase", reinterpret_cast<PyCFunction>(&filtered_rebase), METH_NOARGS, "rebase($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<FilteredIndex>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.FilteredIndex",
    .basicsize = sizeof(FilteredIndexInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* filtered_index_type() {
  static PyTypeObject* type = [] {
    try {
      return create_type(kSpec);
    } catch (HostError& e) {
      fatal("failed to create type object for FilteredIndex: " + e.text());
    }
  }();
  return type;
}

}  // namespace vostrel::py
