// Shared parts of the host classes.
#include "module/host_class.hpp"

namespace vostrel::py {

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return call_object([&]() -> Object {
    raise(PyExc_TypeError, "No constructor defined for " + type_name(type));
  });
}

PyTypeObject* create_type(PyType_Spec& type_slots) {
  return reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&type_slots)).release());
}

}  // namespace vostrel::py
