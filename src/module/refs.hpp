// Host references and host errors as the module layer handles them.
//
// Rules of use:
//  - `Handle` is a borrowed reference: trivially copyable, never released. It is valid only while
//    something else owns the object.
//  - `Object` owns one reference. It is made only by `Object::steal(p)` (takes over a new reference)
//    or `Object::borrow(p)` (adds one); it has no implicit conversion to a raw pointer; `release()`
//    hands the reference back. Moving leaves the source null. Objects are dropped with the
//    interpreter lock held.
//  - `HostError` is the one C++ exception that means "a host exception is to be raised". It carries
//    the exception (fetched from the interpreter, or a type and a message made without it) to the
//    call wrapper, which raises it. `require(...)` turns C-API failure returns into it.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

namespace vostrel::py {

class Handle {
 public:
  constexpr Handle() noexcept = default;
  constexpr explicit Handle(PyObject* p) noexcept : p_(p) {}
  [[nodiscard]] PyObject* ptr() const noexcept { return p_; }
  [[nodiscard]] explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

 private:
  PyObject* p_ = nullptr;
};

class Object {
 public:
  Object() noexcept = default;
  static Object steal(PyObject* p) noexcept { return Object(p); }
  static Object borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Object(p);
  }
  Object(Object&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Object& operator=(Object&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  ~Object() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* ptr() const noexcept { return p_; }
  [[nodiscard]] Handle handle() const noexcept { return Handle(p_); }
  [[nodiscard]] explicit operator bool() const noexcept { return p_ != nullptr; }
  /// Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit Object(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

class HostError {
 public:
  /// Takes the interpreter's pending exception (SystemError when none is set). A PanicException
  /// coming back from host code is not handled here: it is turned back into the fatal error.
  static HostError fetch();
  /// An exception of a builtin type with a message; made without touching the interpreter.
  static HostError make(PyObject* type, std::string message) noexcept {
    HostError e;
    e.static_type_ = type;
    e.message_ = std::move(message);
    return e;
  }

  /// Sets the exception as the interpreter's pending one.
  void restore() &&;
  /// True when the exception's type is exactly `type` (no subclass).
  [[nodiscard]] bool is_exactly(PyObject* type) const noexcept;
  /// The exception's text (str() of its value).
  [[nodiscard]] std::string text() const;
  /// The exception value (materialised if needed); needs the interpreter lock.
  Object value() &&;

 private:
  HostError() = default;
  PyObject* static_type_ = nullptr;  // borrowed builtin type, when made from a message
  std::string message_;
  Object type_, value_, traceback_;  // fetched exception, otherwise null
};

[[noreturn]] inline void throw_host_error() { throw HostError::fetch(); }

/// New reference or HostError.
inline Object require(PyObject* p) {
  if (!p) throw_host_error();
  return Object::steal(p);
}
/// C-API status code (-1 on failure) or HostError.
inline int require_status(int rc) {
  if (rc < 0) throw_host_error();
  return rc;
}

[[noreturn]] inline void raise(PyObject* type, std::string message) {
  throw HostError::make(type, std::move(message));
}

/// UTF-8 view of a str (valid while the str lives); HostError when it cannot be encoded.
std::string_view utf8_view(Handle str);

}  // namespace vostrel::py
