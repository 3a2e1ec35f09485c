// The host class Indexable, the base of indexed host classes.
#include "module/classes.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {
namespace {

struct IndexableRecord {};
using IndexableInstance = Instance<IndexableRecord>;

constexpr Signature kNew{.function = "__new__", .owner = "Indexable", .varargs = true, .varkw = true};

PyObject* indexable_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    bind_tuple(kNew, args, kwargs);
    return new_instance(type, IndexableRecord{});
  });
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Indexable(*_args, **kwargs)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&indexable_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<IndexableRecord>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.Indexable",
    .basicsize = sizeof(IndexableInstance),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = kSlots,
};

}  // namespace

PyTypeObject* indexable_type() {
  static PyTypeObject* type = create_type(kSpec);
  return type;
}

}  // namespace vostrel::py
