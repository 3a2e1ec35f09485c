// The host call wrapper's shared parts: failure translation, binding adapters, conversions.
#include "module/call.hpp"

#include <boost/container/small_vector.hpp>

namespace vostrel::py {

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (HostError& e) {
    std::move(e).restore();
  } catch (FatalError& e) {
    raise_panic(e.message());
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic(kGenericFailure);
  }
}

namespace {

[[noreturn]] void raise_binding_error(std::string message) {
  raise(PyExc_TypeError, std::move(message));
}

using NameList = boost::container::small_vector<std::string_view, 8>;

}  // namespace

BoundArgs bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  NameList names;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) names.push_back(utf8_view(Handle(PyTuple_GET_ITEM(kwnames, k))));

  binding::Binding b;
  if (auto error = binding::bind_call(sig, nargs, names, b)) raise_binding_error(std::move(*error));

  BoundArgs out;
  for (std::size_t i = 0; i < sig.param_count(); ++i) {
    const auto src = b.source[i];
    if (src == binding::Binding::kUnfilled) continue;
    out.params[i] = Handle(src >= binding::Binding::kKeyword ? args[nargs + (src - binding::Binding::kKeyword)]
                                                             : args[src]);
  }
  out.varargs = std::span<PyObject* const>(args + b.positional_bound, nargs - b.positional_bound);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!b.keyword_extra[static_cast<std::size_t>(k)]) continue;
    if (!out.varkw) out.varkw = require(PyDict_New());
    require_status(PyDict_SetItem(out.varkw.ptr(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
  }
  return out;
}

BoundArgs bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs) {
  const std::size_t nargs = args ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
  NameList names;
  boost::container::small_vector<PyObject*, 8> keys, values;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
      names.push_back(utf8_view(Handle(key)));
      keys.push_back(key);
      values.push_back(value);
    }
  }
  binding::Binding b;
  if (auto error = binding::bind_call(sig, nargs, names, b)) raise_binding_error(std::move(*error));

  BoundArgs out;
  PyObject* const* items = args ? &PyTuple_GET_ITEM(args, 0) : nullptr;
  for (std::size_t i = 0; i < sig.param_count(); ++i) {
    const auto src = b.source[i];
    if (src == binding::Binding::kUnfilled) continue;
    out.params[i] = Handle(src >= binding::Binding::kKeyword ? values[src - binding::Binding::kKeyword] : items[src]);
  }
  if (items) out.varargs = std::span<PyObject* const>(items + b.positional_bound, nargs - b.positional_bound);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (!b.keyword_extra[k]) continue;
    if (!out.varkw) out.varkw = require(PyDict_New());
    require_status(PyDict_SetItem(out.varkw.ptr(), keys[k], values[k]));
  }
  return out;
}

HostError argument_error(std::string_view name, HostError original) {
  std::string message = "argument '" + std::string(name) + "': " + original.text();
  Object value = std::move(original).value();
  Object text = new_str(message);
  Object replacement = require(PyObject_CallOneArg(PyExc_TypeError, text.ptr()));
  if (PyObject* cause = PyException_GetCause(value.ptr()))  // new reference
    PyException_SetCause(replacement.ptr(), cause);          // steals it
  PyErr_SetObject(PyExc_TypeError, replacement.ptr());
  return HostError::fetch();
}

std::string type_name(PyTypeObject* type) {
  Object name = require(PyType_GetName(type));
  return std::string(utf8_view(name.handle()));
}

void raise_cannot_convert(Handle obj, std::string_view target) {
  // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict, wrongly) on the chained operator+.
  std::string message = "'";
  message += type_name(obj.type());
  message += "' object cannot be converted to '";
  message += target;
  message += '\'';
  raise(PyExc_TypeError, std::move(message));
}

std::uint64_t to_u64(Handle obj) {
  Object index = require(PyNumber_Index(obj.ptr()));
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_host_error();
  return v;
}

Object new_str(std::string_view text) {
  return require(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace vostrel::py
