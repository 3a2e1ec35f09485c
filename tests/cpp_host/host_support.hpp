// Helpers for the embedded-interpreter tests: running host code beside the module's classes and
// comparing an index's records with its objects' own attributes.
#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

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

inline const Index& index_of(const Object& globals, const char* name) {
  return IndexInstance::cast(global(globals, name))->record;
}

/// Where the index's state breaks its invariants or differs from the indexable attributes of the
/// objects in its store; empty when it is sound and they agree.
inline std::string disagreement(Handle index_obj) {
  using Contents = std::map<std::pair<std::string, std::uint64_t>, std::set<Id>>;
  auto s = IndexInstance::cast(index_obj)->record.state->read();
  if (auto reason = s->verify()) return *reason;
  Contents expected, actual;
  std::string wrong;
  s->stored_items.for_each([&](Id id, const StoredItem& slot) {
    const Indexable& obj = stored_indexable(slot.object)->record;
    if (obj.id != id) wrong = "object " + std::to_string(obj.id) + " stored under " + std::to_string(id);
    for (const auto& [name, value] : obj.attributes)
      if (is_indexable_name(name.view())) expected[{std::string(name.view()), value.hash()}].insert(id);
  });
  for (const auto& [name, map] : s->query_maps)
    for (const auto& [hash, set] : map->value_sets) {
      auto ids = set.to_vector();
      actual[{std::string(name.view()), hash}].insert(ids.begin(), ids.end());
    }
  if (!wrong.empty()) return wrong;
  return expected == actual ? "" : "table and attributes differ";
}

}  // namespace vostrel::py::host_test
