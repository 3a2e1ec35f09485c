// The host class FilteredIndex: a view of some of an index's objects, obtained only as a result.
#include <optional>
#include <vector>

#include "module/classes.hpp"
#include "module/keyword_query.hpp"
#include "module/records.hpp"

namespace vostrel::py {

std::vector<Object> stored_objects(const ItemStore& store, const Bitmap& ids) {
  std::vector<Object> objects;
  objects.reserve(ids.cardinality());
  ids.for_each([&](Id id) { objects.push_back(Object::borrow(stored_at(store, id).object.get())); });
  return objects;
}

Object to_list(std::vector<Object> objects) {
  Object list = require(PyList_New(static_cast<Py_ssize_t>(objects.size())));
  for (std::size_t i = 0; i < objects.size(); ++i)
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), objects[i].release());
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
    std::vector<Object> objects = stored_objects(*inst->record.stored_items->read(), inst->record.ids);
    return to_list(std::move(objects));
  });
}

/// A stored object as the Indexable it must be; the failed-conversion error otherwise.
IndexableInstance* as_indexable(Handle obj) {
  if (!is_instance(obj, indexable_type())) fatal_failed_conversion();
  return IndexableInstance::cast(obj);
}

PyObject* filtered_rebase(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    FilteredIndexInstance* inst = FilteredIndexInstance::cast(self);
    SharedBorrow borrowed(inst->borrow);
    const FilteredIndex& view = inst->record;
    // Every admitted object is borrowed before anything is built, so a busy one fails the call
    // with nothing registered. The borrows are taken outside the store's lock: raising an error
    // may run host code, which must never find an index lock held.
    std::vector<Object> objects;
    {
      auto source = view.stored_items->read();
      objects.reserve(view.ids.cardinality());
      view.ids.for_each([&](Id id) {
        if (id >= source->size()) fatal_out_of_range();
        objects.push_back(Object::borrow(stored_at(*source, id).object.get()));
      });
    }
    std::vector<ExclusiveBorrow> borrows;
    borrows.reserve(objects.size());
    for (const Object& obj : objects) borrows.emplace_back(as_indexable(obj.handle())->borrow);

    std::optional<Index> rebased;
    {
      // Held for the whole build, so every admitted object is read from the store as it stands.
      auto source = view.stored_items->read();
      rebased.emplace(make_rebased(view.ids));
      Index& index = *rebased;
      const IndexMeta record{index.query_maps};
      auto table = index.query_maps->write();
      auto store = index.stored_items->write();
      view.ids.for_each([&](Id id) {
        const StoredItem& item = stored_at(*source, id);
        Indexable& obj = as_indexable(Handle(item.object.get()))->record;
        add_index(obj, record);
        (*store)[id] = item;
        index_attributes(*table, obj);
      });
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
