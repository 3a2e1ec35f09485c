// Host classes: instance layout around a core record, allocation, clean-up and type creation.
//
// An instance is the object header, the borrow flag and the record, constructed in place. Types
// are heap types made from static slot arrays, once per process, named "builtins.<Class>" so that
// the host reports `__module__` "builtins" and `__qualname__` "<Class>".
#pragma once

#include <Python.h>

#include <new>
#include <string>
#include <utility>

#include "module/call.hpp"

namespace vostrel::py {

template <class Record>
struct Instance {
  PyObject_HEAD
  BorrowFlag borrow;
  Record record;

  static Instance* cast(PyObject* self) noexcept { return reinterpret_cast<Instance*>(self); }
  static Instance* cast(Handle self) noexcept { return cast(self.ptr()); }
};

/// Allocates an instance of `type` holding `record`.
template <class Record>
Object new_instance(PyTypeObject* type, Record&& record) {
  Object obj = require(type->tp_alloc(type, 0));
  auto* inst = Instance<std::decay_t<Record>>::cast(obj.ptr());
  new (&inst->borrow) BorrowFlag{};
  new (&inst->record) std::decay_t<Record>(std::forward<Record>(record));
  return obj;
}

/// tp_dealloc: destroys the record; an internal failure is reported as unraisable.
template <class Record>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  {
    EnterHost entered;
    try {
      Instance<Record>::cast(self)->record.~Record();
    } catch (...) {
      translate_current_exception();
      PyErr_WriteUnraisable(self);
    }
  }
  type->tp_free(self);
  Py_DECREF(type);
}

/// tp_new of a class that host code cannot instantiate.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

/// Creates a heap type from its slot table (no module, base object); HostError on failure.
PyTypeObject* create_type(PyType_Spec& type_slots);

/// True when `obj` is an instance of `type` or of a subclass.
inline bool is_instance(Handle obj, PyTypeObject* type) noexcept {
  return PyObject_TypeCheck(obj.ptr(), type);
}

}  // namespace vostrel::py
