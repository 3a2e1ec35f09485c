// Helpers for the embedded-interpreter tests: running host code beside the module's classes and
// comparing an index's records with its objects' own attributes.
#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "module/classes.hpp"
#include "module/records.hpp"
#include "module/runtime.hpp"

namespace vostrel::py::host_test {

/// Globals in which host code finds Index, Indexable, Q (PyQueryExpr) and PanicException.
inline Object host_globals() {
  Object globals = require(PyDict_New());
  PyDict_SetItemString(globals.ptr(), "__builtins__", PyEval_GetBuiltins());
  PyDict_SetItemString(globals.ptr(), "Index", reinterpret_cast<PyObject*>(index_type()));
  PyDict_SetItemString(globals.ptr(), "Indexable", reinterpret_cast<PyObject*>(indexable_type()));
  PyDict_SetItemString(globals.ptr(), "Q", reinterpret_cast<PyObject*>(query_expr_type()));
  PyDict_SetItemString(globals.ptr(), "PanicException", panic_exception_type());
  return globals;
}

/// Runs host code in `globals` (fresh ones when null) and returns them; a host exception that
/// escapes the code is printed and fails the test.
inline Object run(const char* code, Object globals = Object()) {
  if (!globals) globals = host_globals();
  PyObject* result = PyRun_String(code, Py_file_input, globals.ptr(), globals.ptr());
  if (!result) {
    PyErr_Print();
    ADD_FAILURE() << "host code failed";
  }
  Py_XDECREF(result);
  return globals;
}

inline Handle global(const Object& globals, const char* name) {
  return Handle(PyDict_GetItemString(globals.ptr(), name));
}

/// Where the index's table differs from the indexable attributes of the objects in its store;
/// empty when they agree.
inline std::string disagreement(Handle index_obj) {
  using Contents = std::map<std::pair<std::string, std::uint64_t>, std::set<Id>>;
  const Index& index = IndexInstance::cast(index_obj)->record;
  auto table = index.query_maps->read();
  auto store = index.stored_items->read();
  if (auto reason = verify_table(*table)) return *reason;
  Contents expected, actual;
  std::set<Id> stored;
  for (const auto& slot : *store) {
    if (!slot) continue;
    const Indexable& obj = IndexableInstance::cast(Handle(slot.object.get()))->record;
    stored.insert(obj.id);
    for (const auto& [name, value] : obj.attributes)
      if (is_indexable_name(name.view())) expected[{std::string(name.view()), value.hash()}].insert(obj.id);
  }
  for (const auto& [name, map] : *table)
    for (const auto& [value, set] : map->value_sets) {
      auto ids = set.to_vector();
      if (!ids.empty()) actual[{std::string(name.view()), value.hash()}].insert(ids.begin(), ids.end());
    }
  if (expected != actual) return "table and attributes differ";
  auto ids = index.ids.to_vector();
  if (std::set<Id>(ids.begin(), ids.end()) != stored) return "ids and store differ";
  return "";
}

}  // namespace vostrel::py::host_test
