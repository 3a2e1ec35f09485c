// Host classes: instance layout around a core record, allocation, clean-up, type creation and
// method tables.
//
// An instance is the object header, the borrow flag and the record, constructed in place. Types
// are heap types made from static slot arrays, once per process, named "builtins.<Class>" so that
// the host reports `__module__` "builtins" and `__qualname__` "<Class>". Every class takes part
// in the host's cycle collection: it visits the host references it owns and can drop them.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
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

/// Allocates an instance of `type` holding `record`, tracked by the cycle collector.
template <class Record>
Object new_instance(PyTypeObject* type, Record&& record) {
  Object obj = require(type->tp_alloc(type, 0));
  auto* inst = Instance<std::decay_t<Record>>::cast(obj.ptr());
  new (&inst->borrow) BorrowFlag{};
  new (&inst->record) std::decay_t<Record>(std::forward<Record>(record));
  return obj;
}

/// tp_dealloc: untracks the instance, destroys the record; an internal failure is reported as
/// unraisable.
template <class Record>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
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
/// create_type for a class made when its first instance is: a failure is fatal ("failed to
/// create type object for <name>").
PyTypeObject* create_type_on_first_use(PyType_Spec& type_slots);

/// True when `obj` is an instance of `type` or of a subclass.
inline bool is_instance(Handle obj, PyTypeObject* type) noexcept {
  return PyObject_TypeCheck(obj.ptr(), type);
}

/// The instance behind argument `param`, or the argument error "'<type>' object cannot be
/// converted to '<Class>'".
template <class Record>
Instance<Record>* extract_instance(std::string_view param, Handle obj, PyTypeObject* type, std::string_view class_name) {
  if (!is_instance(obj, type)) raise_argument_cannot_convert(param, obj, class_name);
  return Instance<Record>::cast(obj);
}

// --- method tables ---

/// One entry of a method table: the calling form comes from the function's type.
struct MethodSpec {
  const char* name;
  PyCFunction function;
  int flags;
  std::string_view signature;  // the text signature without the name: "($self, query)"
  std::string_view doc;
};

using NoArgs = PyObject* (*)(PyObject*, PyObject*) noexcept;
using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
using KwArgs = PyObject* (*)(PyObject*, PyObject*, PyObject*) noexcept;

template <auto F>
constexpr int calling_form() {
  if constexpr (std::is_same_v<decltype(F), NoArgs>) return METH_NOARGS;
  else if constexpr (std::is_same_v<decltype(F), Fast>) return METH_FASTCALL | METH_KEYWORDS;
  else {
    static_assert(std::is_same_v<decltype(F), KwArgs>, "not a method's signature");
    return METH_VARARGS | METH_KEYWORDS;
  }
}

/// An instance method.
template <auto F>
constexpr MethodSpec method(const char* name, std::string_view signature, std::string_view doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)), calling_form<F>(), signature, doc};
}
/// A static method.
template <auto F>
constexpr MethodSpec static_method(const char* name, std::string_view signature, std::string_view doc) {
  MethodSpec m = method<F>(name, signature, doc);
  m.flags |= METH_STATIC;
  return m;
}
/// A class method of one argument (it receives the class, then the argument).
template <auto F>
constexpr MethodSpec class_method(const char* name, std::string_view signature, std::string_view doc) {
  static_assert(std::is_same_v<decltype(F), NoArgs>, "a one-argument method's signature");
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)), METH_O | METH_CLASS, signature, doc};
}
/// An instance method of one argument.
template <auto F>
constexpr MethodSpec one_argument_method(const char* name, std::string_view signature, std::string_view doc) {
  static_assert(std::is_same_v<decltype(F), NoArgs>, "a one-argument method's signature");
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)), METH_O, signature, doc};
}

/// A method table (null-terminated) whose docstrings are "<name><signature>\n--\n\n<doc>"; made
/// once and kept for the process.
PyMethodDef* method_table(std::initializer_list<MethodSpec> methods);

/// A class docstring "<Class><signature>\n--\n\n<doc>" (just the doc when there is no signature),
/// kept for the process.
const char* class_doc(std::string_view name, std::string_view signature, std::string_view doc);

}  // namespace vostrel::py
