// The host class FilteredIndex: a view of some of an index's objects, obtained only as a result.
#include <optional>
#include <vector>

#include "module/classes.hpp"
#include "module/keyword_query.hpp"
#include "module/records.hpp"

namespace vostrel::py {

namespace {

/// How many objects ahead of the one being referenced are asked into the cache: far enough to
/// cover a memory access, near enough that the lines are still there when their turn comes.
constexpr std::size_t kPrefetchDistance = 16;

}  // namespace

Object stored_list(const RwLock<ItemStore>& store, const Bitmap& ids) {
  const std::uint64_t count = ids.cardinality();
  if (count > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
  Object list = require(PyList_New(static_cast<Py_ssize_t>(count)));
  if (count == 0) return list;
  PyObject** items = &PyList_GET_ITEM(list.ptr(), 0);
  std::size_t filled = 0;
  auto slots = store.read();
  ids.for_each_batch([&](std::span<const Id> batch) {
    if (filled + batch.size() > count) fatal_out_of_range();
    // Every object of the batch is looked up before any enters the list, so a missing one fails
    // with the list holding only references it owns.
    PyObject* objects[Bitmap::kBatchIds];
    const std::size_t n = batch.size();
    for (std::size_t i = 0; i < n; ++i) objects[i] = stored_at(*slots, batch[i]).object.get();
    // The store is read in id order, but the objects lie anywhere: each is fetched ahead of its
    // reference count being raised.
    for (std::size_t i = 0; i < n && i < kPrefetchDistance; ++i) __builtin_prefetch(objects[i], 1);
    PyObject** out = items + filled;
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kPrefetchDistance < n) __builtin_prefetch(objects[i + kPrefetchDistance], 1);
      Py_INCREF(objects[i]);
      out[i] = objects[i];
    }
    filled += n;
  });
  if (filled != count) fatal_out_of_range();
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
    return stored_list(*inst->record.stored_items, inst->record.ids);
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
        (*store)[id] = item.share();
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
