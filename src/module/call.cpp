// The host call wrapper's shared parts: failure translation, binding, conversions.
#include "module/call.hpp"

#include <algorithm>

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

using NameList = boost::container::small_vector<std::string_view, 8>;

/// Binds positional arguments and keyword (name, value) pairs; the one binding path of both
/// calling conventions. `names[k]` is the text of `keys[k]`.
BoundArgs bind_arguments(const Signature& sig, std::span<PyObject* const> positional, std::span<PyObject* const> keys,
                         std::span<PyObject* const> values, const NameList& names) {
  binding::Binding b;
  if (auto error = binding::bind_call(sig, positional.size(), names, b)) raise(PyExc_TypeError, std::move(*error));
  BoundArgs out;
  for (std::size_t i = 0; i < sig.param_count(); ++i) {
    const auto src = b.source[i];
    if (src == binding::Binding::kUnfilled) continue;
    out.params[i] = Handle(src >= binding::Binding::kKeyword ? values[src - binding::Binding::kKeyword] : positional[src]);
  }
  out.varargs = positional.subspan(b.positional_bound);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (!b.keyword_extra[k]) continue;
    if (!out.varkw) out.varkw = require(PyDict_New());
    require_status(PyDict_SetItem(out.varkw.ptr(), keys[k], values[k]));
  }
  return out;
}

}  // namespace

BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  const std::size_t nkw = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  NameList names;
  for (std::size_t k = 0; k < nkw; ++k) names.push_back(utf8_view(Handle(PyTuple_GET_ITEM(kwnames, k))));
  const std::span<PyObject* const> keys(nkw ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, nkw);
  return bind_arguments(sig, std::span<PyObject* const>(args, nargs), keys, std::span<PyObject* const>(args + nargs, nkw),
                        names);
}

BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
  const std::size_t nargs = args ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
  const std::span<PyObject* const> positional(nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs);
  // Every key and value is held before any host code runs (a key's __hash__ may empty the dict).
  boost::container::small_vector<Object, 16> held;
  boost::container::small_vector<PyObject*, 8> keys, values;
  NameList names;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      held.push_back(Object::borrow(key));
      held.push_back(Object::borrow(value));
      keys.push_back(key);
      values.push_back(value);
    }
    for (PyObject* key : keys) {
      if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
      names.push_back(utf8_view(Handle(key)));
    }
  }
  BoundArgs out = bind_arguments(sig, positional, keys, values, names);
  for (Object& o : held) out.held.push_back(std::move(o));
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

void raise_argument_cannot_convert(std::string_view param, Handle obj, std::string_view target) {
  convert_arg(param, [&] { raise_cannot_convert(obj, target); });
  fatal_missing_value();  // not reached: the conversion always raises
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

Object iterate_argument(std::string_view, Handle iterable, std::size_t& reserve) {
  // A length hint is trusted only this far: beyond it the array grows as items arrive, so a
  // lying __len__ cannot demand one huge allocation.
  constexpr Py_ssize_t kMaxReservedItems = Py_ssize_t{1} << 16;
  if (PyUnicode_Check(iterable.ptr())) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  PyObject* iter = PyObject_GetIter(iterable.ptr());
  if (!iter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_host_error();
    PyErr_Clear();
    raise_cannot_convert(iterable, "Sequence");
  }
  Object it = Object::steal(iter);
  const Py_ssize_t hint = PyObject_LengthHint(iterable.ptr(), 0);
  if (hint < 0) throw_host_error();
  reserve = static_cast<std::size_t>(std::min(hint, kMaxReservedItems));
  return it;
}

}  // namespace vostrel::py
