// Converting host objects into values.
#include "index/value.hpp"
#include "module/refs.hpp"
#include "module/runtime.hpp"

namespace vostrel {

namespace {

using py::Object;
using py::throw_host_error;

/// An ordinary exception (an Exception) is cleared and reported as false; anything else (an
/// interrupt, an exit, a fatal failure raised through host code) keeps propagating.
bool clear_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_host_error();
  PyErr_Clear();
  return false;
}

/// The integer value of an int (or an instance of a subclass), when it fits in 64 bits.
std::optional<std::int64_t> small_int(PyObject* obj) {
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (n == -1 && PyErr_Occurred()) throw_host_error();
  if (overflow != 0) return std::nullopt;
  return n;
}

}  // namespace

PyValue PyValue::make(HostObject* obj) {
  // The value's own reference comes first: the hash and __index__ below may run host code that
  // drops every other reference to the object.
  Py_INCREF(obj);
  Object held = Object::steal(obj);
  PyTypeObject* type = Py_TYPE(obj);
  ValueKind kind = ValueKind::Unknown;
  std::int64_t payload = 0;
  if (type == &PyLong_Type) {
    const long long n = PyLong_AsLongLong(obj);
    if (n == -1 && PyErr_Occurred()) throw_host_error();  // beyond 64 bits: OverflowError
    kind = ValueKind::Int;
    payload = n;
  } else if (type == &PyFloat_Type || PyFloat_Check(obj)) {
    kind = ValueKind::Float;
    payload = std::bit_cast<std::int64_t>(PyFloat_AS_DOUBLE(obj));
  } else if (type == &PyUnicode_Type) {
    kind = ValueKind::Str;
    (void)py::utf8_view(py::Handle(obj));  // a str that cannot be encoded fails here, as before
  } else if (PyLong_Check(obj)) {
    // Subclasses of int (bool, IntEnum) are ordered as Python orders them, when they fit.
    if (std::optional<std::int64_t> n = small_int(obj)) {
      kind = ValueKind::Int;
      payload = *n;
    }
  } else if (PyIndex_Check(obj)) {
    // Integers of other libraries (NumPy's) say what integer they are through __index__.
    if (PyObject* index = PyNumber_Index(obj)) {
      Object as_int = Object::steal(index);
      if (std::optional<std::int64_t> n = small_int(as_int.ptr())) {
        kind = ValueKind::Int;
        payload = *n;
      }
    } else {
      clear_ordinary_error();
    }
  }
  Py_hash_t hash = PyObject_Hash(obj);
  if (hash == -1 && PyErr_Occurred()) {
    clear_ordinary_error();  // an unhashable value groups with hash 0
    hash = 0;
  }
  return adopt(held.release(), kind, static_cast<std::uint64_t>(hash), payload);
}

std::string_view host::str_text(HostObject* str) { return py::utf8_view(py::Handle(str)); }

}  // namespace vostrel
