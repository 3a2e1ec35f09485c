// The host class FilteredIndex: a view of some of an index's objects, obtained only as a result.
#include <vector>

#include "module/keyword_query.hpp"
#include "module/ordering.hpp"
#include "module/py_query_expr.hpp"
#include "module/records.hpp"

namespace vostrel::py {

Object new_filtered_index(FilteredIndex view, Object owner) {
  return new_instance(filtered_index_type(), ViewRecord{std::move(view), std::move(owner)});
}

namespace {

constexpr std::string_view kQueryParams[] = {"query"};
constexpr Signature kReduced{.function = "reduced", .owner = "FilteredIndex", .varkw = true};
constexpr Signature kReducedQuery{
    .function = "reduced_query", .owner = "FilteredIndex", .positional = kQueryParams, .required = 1};

FilteredIndexInstance* self_of(PyObject* self) { return FilteredIndexInstance::cast(self); }

PyObject* filtered_reduced(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kReduced, args, kwargs);
    FilteredIndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    const KeywordQuery query = kwargs_to_hash_query(bound.varkw.handle());
    const FilteredIndex& view = inst->record.view;
    FilteredIndex result = without_gil([&] {
      auto s = view.state->read();
      return view.narrowed(filter_index_by_hashes(s->query_maps, query));
    });
    return new_filtered_index(std::move(result), Object::borrow(inst->record.owner.ptr()));
  });
}

PyObject* filtered_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(kReducedQuery, args, nargs, kwnames);
    FilteredIndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    const HeldQueryExpr query("query", bound[0]);
    const FilteredIndex& view = inst->record.view;
    FilteredIndex result = without_gil([&] {
      auto s = view.state->read();
      return view.narrowed(evaluate_query(s->query_maps, admitted_ids(*s, view), query.expr()));
    });
    return new_filtered_index(std::move(result), Object::borrow(inst->record.owner.ptr()));
  });
}

PyObject* filtered_collect(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    FilteredIndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    return object_list(inst->record.view.state, &inst->record.view);
  });
}

PyObject* filtered_rebase(PyObject* self, PyObject*) noexcept {
  return call_object([&] {
    FilteredIndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    const FilteredIndex& view = inst->record.view;
    // Every admitted object is borrowed before anything is built, so a busy one fails the call
    // with nothing registered.
    std::vector<Object> admitted;
    {
      auto s = view.state->read();
      admitted.reserve(view.ids.cardinality());
      for_each_admitted(*s, view, [&](Id, HostObject* obj) { admitted.push_back(Object::borrow(obj)); });
    }
    for (const Object& obj : admitted) stored_indexable(obj.ptr());
    BorrowedObjects objects(std::move(admitted), true);
    std::vector<Arrival> arrivals = objects.arrivals();
    Index rebased = Index::make();
    add_objects(rebased, arrivals);
    return new_index(std::move(rebased));
  });
}

Py_ssize_t filtered_length(PyObject* self) noexcept {
  Py_ssize_t n = -1;
  (void)call_status([&] {
    FilteredIndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    const FilteredIndex& view = inst->record.view;
    auto s = view.state->read();
    if (unchanged_since(*s, view)) {
      n = static_cast<Py_ssize_t>(view.ids.cardinality());
    } else {
      n = 0;
      for_each_admitted(*s, view, [&](Id, HostObject*) { ++n; });
    }
  });
  return n;
}

int filtered_contains(PyObject* self, PyObject* obj) noexcept {
  int found = -1;
  const int status = call_status([&] {
    FilteredIndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    found = 0;
    if (!is_instance(Handle(obj), indexable_type())) return;
    const Id id = IndexableInstance::cast(obj)->record.id;
    const FilteredIndex& view = inst->record.view;
    auto s = view.state->read();
    const StoredItem& slot = s->stored_items.at(id);
    found = view.ids.contains(id) && admits(view, slot) && slot.object == obj ? 1 : 0;
  });
  return status < 0 ? -1 : found;  // a failure after `found` was set still fails
}

PyObject* filtered_iter(PyObject* self) noexcept {
  return call_object([&] {
    FilteredIndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    return new_iterator(inst->record.view.state, &inst->record.view, Object::borrow(self));
  });
}

PyObject* filtered_sorted_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(sorted_by_signature("FilteredIndex"), args, nargs, kwnames);
    FilteredIndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    return sorted_by(inst->record.view.state, &inst->record.view, bound);
  });
}

PyObject* filtered_value_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    const BoundArgs bound = bind(value_counts_signature("FilteredIndex"), args, nargs, kwnames);
    FilteredIndexInstance* inst = self_of(self);
    SharedBorrow borrowed(inst->borrow);
    return value_counts(inst->record.view.state, &inst->record.view, bound);
  });
}

PyObject* filtered_reduce(PyObject*, PyObject*) noexcept {
  return call_object([&]() -> Object {
    raise(PyExc_TypeError,
          "cannot pickle or copy a FilteredIndex: it is a view of an index; rebase() it into an Index first");
  });
}

int filtered_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(self_of(self)->record.owner.ptr());
  return 0;
}

int filtered_clear(PyObject* self) noexcept {
  return call_status([&] { self_of(self)->record.owner = Object(); });
}

PyMethodDef* methods() {
  static PyMethodDef* table = method_table({
      method<&filtered_reduced>("reduced", "($self, **kwargs)",
                                "A narrower view: the objects of this view that match the keyword filter "
                                "(see\nIndex.get_by_attribute). Releases the GIL."),
      method<&filtered_collect>("collect", "($self)", "The objects of this view, in ascending id order, as a new list."),
      method<&filtered_rebase>("rebase", "($self)",
                               "A new, independent Index of the objects of this view, indexed afresh."),
      method<&filtered_reduced_query>("reduced_query", "($self, query)",
                                      "A narrower view: the objects of this view that match the PyQueryExpr "
                                      "`query`.\nReleases the GIL."),
      method<&filtered_sorted_by>(
          "sorted_by", "($self, attr, *, reverse=False, limit=None)",
          "The objects of this view ordered by their value of `attr`, as Index.sorted_by orders them."),
      method<&filtered_value_counts>("value_counts", "($self, attr)",
                                     "How many objects of this view hold each value of `attr`, as Index.value_counts."),
      method<&filtered_reduce>("__reduce__", "($self)", "Views cannot be pickled or copied: rebase() them first."),
      class_method<&generic_alias>("__class_getitem__", "($cls, item, /)",
                                   "FilteredIndex[Record] for type annotations: a view of Record objects."),
  });
  return table;
}

}  // namespace

PyTypeObject* filtered_index_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(class_doc("FilteredIndex", "",
                                                "A view of some of an index's objects, made by a query; it follows "
                                                "the index\nas objects leave it."))},
        {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
        {Py_tp_methods, methods()},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<ViewRecord>)},
        {Py_tp_traverse, reinterpret_cast<void*>(&filtered_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&filtered_clear)},
        {Py_tp_iter, reinterpret_cast<void*>(&filtered_iter)},
        {Py_sq_length, reinterpret_cast<void*>(&filtered_length)},
        {Py_sq_contains, reinterpret_cast<void*>(&filtered_contains)},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        .name = "builtins.FilteredIndex",
        .basicsize = sizeof(FilteredIndexInstance),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
        .slots = slots,
    };
    return create_type_on_first_use(type_spec);
  }();
  return type;
}

}  // namespace vostrel::py
