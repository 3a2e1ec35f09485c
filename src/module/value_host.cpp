// Converting host objects into values.
#include "index/value.hpp"
#include "module/refs.hpp"
#include "module/runtime.hpp"

namespace vostrel {

PyValue PyValue::make(HostObject* obj) {
  using py::throw_host_error;
  PyTypeObject* type = Py_TYPE(obj);
  CastValue primitave = CastValue::Unknown();
  if (type == &PyLong_Type) {
    const long long n = PyLong_AsLongLong(obj);
    if (n == -1 && PyErr_Occurred()) throw_host_error();
    primitave = CastValue::Int(n);
  } else if (type == &PyFloat_Type) {
    primitave = CastValue::Float(PyFloat_AS_DOUBLE(obj));
  } else if (type == &PyUnicode_Type) {
    primitave = CastValue::Str(std::string(py::utf8_view(py::Handle(obj))));
  }
  Py_hash_t hash = PyObject_Hash(obj);
  if (hash == -1 && PyErr_Occurred()) {
    // An ordinary exception means unhashable. Anything that is not an Exception (an interrupt,
    // an exit, a fatal failure raised through __hash__) keeps propagating.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_host_error();
    PyErr_Clear();  // an unhashable value groups with hash 0
    hash = 0;
  }
  Py_INCREF(obj);
  return PyValue(SharedHostRef::adopt(obj), std::move(primitave), static_cast<std::uint64_t>(hash));
}

}  // namespace vostrel
