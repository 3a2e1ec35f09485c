// The host class FilteredIndex: a view of some of an index's objects, obtained only as a result.
#include "module/classes.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {
namespace {

struct FilteredIndexRecord {};
using FilteredIndexInstance = Instance<FilteredIndexRecord>;

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<FilteredIndexRecord>)},
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
