// The host class Index.
#include "module/classes.hpp"
#include "module/host_class.hpp"

namespace vostrel::py {
namespace {

struct IndexRecord {};
using IndexInstance = Instance<IndexRecord>;

constexpr Signature kNew{.function = "__new__", .owner = "Index"};

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_object([&] {
    bind_tuple(kNew, args, kwargs);
    return new_instance(type, IndexRecord{});
  });
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<IndexRecord>)},
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

PyTypeObject* index_type() {
  static PyTypeObject* type = create_type(kSpec);
  return type;
}

}  // namespace vostrel::py
