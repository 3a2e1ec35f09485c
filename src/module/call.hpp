// The one host call wrapper: binding, borrowing, conversion errors and the translation of failures.
//
// Every method, slot and function runs its body through `call_object` (or `call_status` for slots
// that return a status). The body binds its arguments with `bind`, borrows `self` and class-typed
// arguments, runs the operation and returns its host result; it reports ordinary errors by
// throwing HostError and broken invariants by FatalError. Nothing escapes.
#pragma once

#include <Python.h>

#include <boost/container/small_vector.hpp>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "index/fatal.hpp"
#include "module/binding.hpp"
#include "module/refs.hpp"
#include "module/runtime.hpp"

namespace vostrel::py {

using binding::Signature;

/// Translates whatever the body threw into the pending host exception.
void translate_current_exception() noexcept;

template <class F>
PyObject* call_object(F&& body) noexcept {
  EnterHost entered;
  try {
    Object result = body();
    return result.release();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

template <class F>
int call_status(F&& body) noexcept {
  EnterHost entered;
  try {
    body();
    return 0;
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

// --- binding ---

/// The bound arguments of one call. Parameters are borrowed from the call's own arguments, which
/// its caller keeps alive; what was taken out of a keyword dict is held here, since host code run
/// later in the call (a __hash__, an __eq__) may empty that dict.
struct BoundArgs {
  std::array<Handle, binding::kMaxParams> params{};
  std::span<PyObject* const> varargs;  // surplus positional arguments
  Object varkw;                        // dict of the surplus keywords, or null when there were none
  boost::container::small_vector<Object, 8> held;

  [[nodiscard]] Handle operator[](std::size_t i) const { return params[i]; }
};

/// Binds a vector call.
BoundArgs bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
/// Binds a call given as an argument tuple and a keyword dict (either may be null).
BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs);

/// The TypeError "argument '<name>': <message>" that replaces a conversion's TypeError.
HostError argument_error(std::string_view name, HostError original);

/// Runs a conversion of argument `name`; a TypeError it raises (exactly TypeError) becomes
/// TypeError "argument '<name>': <message>" keeping the original's cause; others pass unchanged.
template <class F>
decltype(auto) convert_arg(std::string_view name, F&& convert) {
  try {
    return convert();
  } catch (HostError& e) {
    if (!e.is_exactly(PyExc_TypeError)) throw;
    throw argument_error(name, std::move(e));
  }
}

/// The type's __name__.
std::string type_name(PyTypeObject* type);
/// TypeError "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void raise_cannot_convert(Handle obj, std::string_view target);
/// The argument error for `param` saying that `obj` cannot be converted to `target`.
[[noreturn]] void raise_argument_cannot_convert(std::string_view param, Handle obj, std::string_view target);

// --- borrowing ---

/// Borrow state of an instance: 0 unborrowed, n > 0 shared by n readers, -1 exclusive. Read and
/// changed only with the interpreter lock held.
struct BorrowFlag {
  static constexpr long kExclusive = -1;
  long state = 0;

  /// The borrow error a shared (or exclusive) borrow would meet now, or null.
  [[nodiscard]] const char* conflict(bool exclusive) const noexcept {
    if (exclusive) return state != 0 ? "Already borrowed" : nullptr;
    return state == kExclusive ? "Already mutably borrowed" : nullptr;
  }
};

class SharedBorrow {
 public:
  /// RuntimeError "Already mutably borrowed" when exclusively borrowed.
  explicit SharedBorrow(BorrowFlag& flag) : flag_(&flag) {
    if (const char* error = flag.conflict(false)) raise(PyExc_RuntimeError, error);
    ++flag.state;
  }
  SharedBorrow(SharedBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (flag_) --flag_->state;
  }

 private:
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  /// RuntimeError "Already borrowed" when borrowed in any way.
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(&flag) {
    if (const char* error = flag.conflict(true)) raise(PyExc_RuntimeError, error);
    flag.state = BorrowFlag::kExclusive;
  }
  ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (flag_) flag_->state = 0;
  }
  /// Ends the borrow before the guard goes.
  void reset() noexcept {
    if (flag_) flag_->state = 0;
    flag_ = nullptr;
  }

 private:
  BorrowFlag* flag_;
};

// --- conversions shared by several methods ---

/// An int (or __index__ object) as unsigned 64 bits; OverflowError when negative or too large.
std::uint64_t to_u64(Handle obj);
/// A new str from UTF-8 text.
Object new_str(std::string_view text);
/// A new reference to None.
inline Object none() { return Object::borrow(Py_None); }
/// The items of an iterable that is not a str, as new references in iteration order. A str is
/// refused with "Can't extract `str` to `Vec`", a non-iterable with "'<type>' object cannot be
/// converted to 'Sequence'", both as argument errors for `param`; `each` checks every item as it
/// arrives. A length hint is trusted only so far when reserving room.
template <class Check>
std::vector<Object> extract_items(std::string_view param, Handle iterable, Check&& each);

/// The non-template part of extract_items: the iterator, or the argument error.
Object iterate_argument(std::string_view param, Handle iterable, std::size_t& reserve);

template <class Check>
std::vector<Object> extract_items(std::string_view param, Handle iterable, Check&& each) {
  return convert_arg(param, [&] {
    std::size_t reserve = 0;
    Object iter = iterate_argument(param, iterable, reserve);
    std::vector<Object> items;
    items.reserve(reserve);
    while (PyObject* next = PyIter_Next(iter.ptr())) {
      items.push_back(Object::steal(next));
      each(items.back().handle());
    }
    if (PyErr_Occurred()) throw_host_error();
    return items;
  });
}

}  // namespace vostrel::py
