// Keyword arguments to keyword queries.
#include "module/keyword_query.hpp"

namespace vostrel::py {
namespace {

/// True when `obj` can be iterated; asks the type instead of trying, so that the common case of
/// one plain value (a number, None) raises and clears no exception.
bool iterable(Handle obj) {
  PyTypeObject* type = obj.type();
  return type->tp_iter != nullptr || PySequence_Check(obj.ptr());
}

/// Adds the host hash of every value that `obj` stands for to `values`.
void add_values(KeywordValues& values, Handle obj) {
  if (PyUnicode_Check(obj.ptr()) || !iterable(obj)) {
    values.insert(PyValue::make(obj.ptr()).hash());
    return;
  }
  PyObject* iter = PyObject_GetIter(obj.ptr());
  if (!iter) {
    // Not iterable after all: the object is the one value. Anything that is not an Exception (an
    // interrupt, an exit, a fatal failure) keeps propagating.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_host_error();
    PyErr_Clear();
    values.insert(PyValue::make(obj.ptr()).hash());
    return;
  }
  Object it = Object::steal(iter);
  while (PyObject* item = PyIter_Next(it.ptr())) {
    Object held = Object::steal(item);
    values.insert(PyValue::make(held.ptr()).hash());
  }
  if (PyErr_Occurred()) throw_host_error();
}

}  // namespace

KeywordQuery kwargs_to_hash_query(Handle kwargs) {
  KeywordQuery query;
  if (!kwargs.ptr()) return query;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
    // Held while host code runs: a value's __hash__ or __iter__ may empty the dict.
    const Object held_key = Object::borrow(key);
    const Object held_value = Object::borrow(value);
    add_values(query.attribute(AttrName(utf8_view(held_key.handle()))), held_value.handle());
  }
  return query;
}

}  // namespace vostrel::py
