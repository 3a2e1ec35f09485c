// The module entry point: interpreter check, the module object and the registration of its entries.
#include <Python.h>

#include <atomic>
#include <charconv>

#include "index/memory_reserve.hpp"
#include "module/call.hpp"
#include "module/records.hpp"

#ifndef VOSTREL_VERSION
#error "VOSTREL_VERSION (the project version) is defined by the build"
#endif

namespace vostrel::py {
namespace {

constexpr std::string_view kSumParams[] = {"a", "b"};
constexpr Signature kSumAsString{.function = "sum_as_string", .positional = kSumParams, .required = 2};

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_object([&] {
    BoundArgs bound = bind(kSumAsString, args, nargs, kwnames);
    const std::uint64_t a = convert_arg("a", [&] { return to_u64(bound[0]); });
    const std::uint64_t b = convert_arg("b", [&] { return to_u64(bound[1]); });
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, a + b);  // wraps modulo 2**64
    return new_str(std::string_view(digits, static_cast<std::size_t>(end - digits)));
  });
}

PyMethodDef kSumAsStringDef = {
    "sum_as_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&sum_as_string)),
    METH_FASTCALL | METH_KEYWORDS,
    "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "Vostrel",                                                              // m_name
    "Native extension that indexes live Python objects by attribute value.",  // m_doc
    0,                                                                      // m_size: no module state
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;  // owned; the module lives for the process

/// Appends `name` to the module's __all__ and sets the attribute.
void add_entry(PyObject* module, const char* name, Object value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  Object all_list;
  if (all) {
    all_list = Object::steal(all);
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_host_error();
    PyErr_Clear();
    all_list = require(PyList_New(0));
    require_status(PyObject_SetAttrString(module, "__all__", all_list.ptr()));
  }
  Object text = require(PyUnicode_FromString(name));
  if (PyList_Append(all_list.ptr(), text.ptr()) < 0) {
    PyErr_Clear();
    fatal(std::string("could not append __name__ to __all__: ") + name);
  }
  require_status(PyObject_SetAttrString(module, name, value.ptr()));
}

Object type_object(PyTypeObject* type) { return Object::borrow(reinterpret_cast<PyObject*>(type)); }

Object init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) throw_host_error();
  std::int64_t expected = -1;
  if (!g_interpreter_id.compare_exchange_strong(expected, id) && expected != id)
    raise(PyExc_ImportError,
          "Vostrel can be used only from the interpreter that imported it first; "
          "sub-interpreters are not supported");
  if (g_module) return Object::borrow(g_module);

  memory::install_roaring_allocator();
  Object module = require(PyModule_Create(&kModuleDef));
  Object module_name = require(PyModule_GetNameObject(module.ptr()));
  add_entry(module.ptr(), "sum_as_string",
            require(PyCFunction_NewEx(&kSumAsStringDef, module.ptr(), module_name.ptr())));
  add_entry(module.ptr(), "Index", type_object(index_type()));
  add_entry(module.ptr(), "Indexable", type_object(indexable_type()));
  add_entry(module.ptr(), "PyQueryExpr", type_object(query_expr_type()));
  require_status(PyModule_AddObjectRef(module.ptr(), "__version__", new_str(VOSTREL_VERSION).ptr()));
  // Private: the view class under its private name, for type checkers and isinstance (views are
  // results only: the module has no attribute FilteredIndex).
  require_status(PyObject_SetAttrString(module.ptr(), "_FilteredIndex", type_object(filtered_index_type()).ptr()));
  // Private: what the build's CRoaring is, for the benchmark's report (not in __all__).
  require_status(PyObject_SetAttrString(module.ptr(), "_roaring_version", new_str(roaring_version()).ptr()));
  require_status(PyObject_SetAttrString(module.ptr(), "_roaring_simd", new_str(roaring_simd()).ptr()));
  // Private: what pickle calls to rebuild Vostrel objects (not in __all__).
  require_status(PyObject_SetAttrString(module.ptr(), "_restore",
                                        make_restore_function(module.ptr(), module_name.ptr()).ptr()));
  g_module = Object::borrow(module.ptr()).release();
  return module;
}

}  // namespace
}  // namespace vostrel::py

extern "C" PyMODINIT_FUNC PyInit_Vostrel() {
  return vostrel::py::call_object([] { return vostrel::py::init_module(); });
}
