// Keyword arguments to keyword queries.
#include "module/keyword_query.hpp"

namespace vostrel::py {
namespace {

/// Adds the values that `obj` stands for to `values`.
void add_values(KeywordValues& values, Handle obj) {
  if (PyUnicode_Check(obj.ptr())) {
    values.insert(PyValue::make(obj.ptr()));
    return;
  }
  PyObject* iter = PyObject_GetIter(obj.ptr());
  if (!iter) {
    // Not iterable: the object is the one value. Anything that is not an Exception (an
    // interrupt, an exit, a fatal failure) keeps propagating.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_host_error();
    PyErr_Clear();
    values.insert(PyValue::make(obj.ptr()));
    return;
  }
  Object it = Object::steal(iter);
  while (PyObject* item = PyIter_Next(it.ptr())) {
    Object held = Object::steal(item);
    values.insert(PyValue::make(held.ptr()));
  }
  if (PyErr_Occurred()) throw_host_error();
}

}  // namespace

KeywordQuery kwargs_to_hash_query(Handle kwargs) {
  KeywordQuery query;
  if (!kwargs.ptr()) return query;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs.ptr(), &pos, &key, &value))
    add_values(query.attribute(AttrName(utf8_view(Handle(key)))), Handle(value));
  return query;
}

}  // namespace vostrel::py
