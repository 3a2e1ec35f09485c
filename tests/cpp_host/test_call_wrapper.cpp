// The host call wrapper and its runtime, inside an embedded interpreter: failure translation,
// argument-error rewriting, borrow states, interpreter-lock accounting and deferred releases.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

#include "index/fatal.hpp"
#include "index/host_ref.hpp"
#include "module/call.hpp"

namespace vostrel::py {
namespace {

// The pending exception's type and text, cleared.
struct Pending {
  PyObject* type = nullptr;
  std::string text;
};
Pending take_pending() {
  Pending p;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return p;
  PyErr_NormalizeException(&type, &value, &traceback);
  p.type = type;  // types used here live for the process
  if (PyObject* s = PyObject_Str(value)) {
    p.text = PyUnicode_AsUTF8(s);
    Py_DECREF(s);
  }
  Py_DECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return p;
}

Object eval(const char* expr) {
  Object globals = require(PyDict_New());
  PyDict_SetItemString(globals.ptr(), "__builtins__", PyEval_GetBuiltins());
  return require(PyRun_String(expr, Py_eval_input, globals.ptr(), globals.ptr()));
}

TEST(CallWrapper, FatalErrorBecomesPanicException) {
  PyObject* r = call_object([]() -> Object { fatal("Duplicate ID and key insert"); });
  EXPECT_EQ(r, nullptr);
  Pending p = take_pending();
  EXPECT_EQ(p.type, panic_exception_type());
  EXPECT_EQ(p.text, "Duplicate ID and key insert");
  EXPECT_TRUE(PyObject_IsSubclass(panic_exception_type(), PyExc_BaseException));
  EXPECT_FALSE(PyObject_IsSubclass(panic_exception_type(), PyExc_Exception));
  EXPECT_EQ(panic_exception_type(), panic_exception_type());  // created once
}

TEST(CallWrapper, HostErrorsAndOtherFailures) {
  struct Case {
    const char* name;
    PyObject* (*run)();
    PyObject* type;
    std::string text;
  };
  const Case cases[] = {
      {"host error", [] { return call_object([]() -> Object { raise(PyExc_ValueError, "bad"); }); },
       PyExc_ValueError, "bad"},
      {"failure without exception",
       [] { return call_object([]() -> Object { throw_host_error(); }); }, PyExc_SystemError,
       "attempted to fetch exception but none was set"},
      {"missing value", [] { return call_object([]() -> Object { fatal_missing_value(); }); },
       panic_exception_type(), std::string(kMissingValue)},
      {"foreign exception",
       [] { return call_object([]() -> Object { throw 42; }); }, panic_exception_type(),
       std::string(kGenericFailure)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.run(), nullptr) << c.name;
    Pending p = take_pending();
    EXPECT_EQ(p.type, c.type) << c.name;
    EXPECT_EQ(p.text, c.text) << c.name;
  }
  EXPECT_EQ(call_status([] { raise(PyExc_TypeError, "x"); }), -1);
  EXPECT_EQ(take_pending().type, PyExc_TypeError);
  EXPECT_EQ(call_status([] {}), 0);
}

TEST(CallWrapper, PanicExceptionFromHostCodeKeepsPropagating) {
  PyErr_SetString(panic_exception_type(), "inner failure");
  PyObject* r = call_object([]() -> Object { throw_host_error(); });
  EXPECT_EQ(r, nullptr);
  Pending p = take_pending();
  EXPECT_EQ(p.type, panic_exception_type());
  EXPECT_EQ(p.text, "inner failure");
}

TEST(CallWrapper, ConversionTypeErrorsNameTheArgument) {
  struct Case {
    const char* raise_expr;  // a Python statement raising the conversion's error
    PyObject* type;
    std::string text;
  };
  const Case cases[] = {
      {"int([])", PyExc_TypeError,
       "argument 'a': int() argument must be a string, a bytes-like object or a real number, not 'list'"},
      {"(-1).to_bytes(1, 'big')", PyExc_OverflowError, "can't convert negative int to unsigned"},
  };
  for (const Case& c : cases) {
    PyObject* r = call_object([&] { return convert_arg("a", [&] { return eval(c.raise_expr); }); });
    EXPECT_EQ(r, nullptr);
    Pending p = take_pending();
    EXPECT_EQ(p.type, c.type) << c.raise_expr;
    EXPECT_EQ(p.text, c.text) << c.raise_expr;
  }
  // A subclass of TypeError passes unchanged.
  Object sub = eval("type('Sub', (TypeError,), {})");
  PyObject* r = call_object([&] {
    return convert_arg("a", [&]() -> Object {
      PyErr_SetString(sub.ptr(), "own words");
      throw_host_error();
    });
  });
  EXPECT_EQ(r, nullptr);
  Pending p = take_pending();
  EXPECT_EQ(p.type, sub.ptr());
  EXPECT_EQ(p.text, "own words");
}

TEST(CallWrapper, RewriteKeepsTheCause) {
  Object cause = eval("ValueError('root')");
  PyObject* r = call_object([&] {
    return convert_arg("values", [&]() -> Object {
      Object err = require(PyObject_CallFunction(PyExc_TypeError, "s", "inner"));
      PyException_SetCause(err.ptr(), Object::borrow(cause.ptr()).release());
      PyErr_SetObject(PyExc_TypeError, err.ptr());
      throw_host_error();
    });
  });
  ASSERT_EQ(r, nullptr);
  HostError e = HostError::fetch();
  EXPECT_EQ(e.text(), "argument 'values': inner");
  Object v = std::move(e).value();
  PyObject* got = PyException_GetCause(v.ptr());
  EXPECT_EQ(got, cause.ptr());
  Py_XDECREF(got);
}

TEST(Borrowing, SharedAndExclusive) {
  BorrowFlag flag;
  {
    SharedBorrow a(flag), b(flag);
    EXPECT_EQ(flag.state, 2);
    PyObject* r = call_object([&]() -> Object {
      ExclusiveBorrow c(flag);
      return Object();
    });
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(take_pending().text, "Already borrowed");
  }
  EXPECT_EQ(flag.state, 0);
  {
    ExclusiveBorrow a(flag);
    PyObject* r = call_object([&]() -> Object {
      SharedBorrow b(flag);
      return Object();
    });
    EXPECT_EQ(r, nullptr);
    Pending p = take_pending();
    EXPECT_EQ(p.type, PyExc_RuntimeError);
    EXPECT_EQ(p.text, "Already mutably borrowed");
    EXPECT_EQ(flag.state, BorrowFlag::kExclusive);
  }
  EXPECT_EQ(flag.state, 0);
}

TEST(Runtime, LockCountAndDeferredReleases) {
  Object obj = eval("object()");
  const Py_ssize_t start = Py_REFCNT(obj.ptr());
  call_object([&] {
    EXPECT_EQ(gil_count(), 1);
    Py_INCREF(obj.ptr());
    Py_INCREF(obj.ptr());
    OwnedHostRef a = OwnedHostRef::adopt(obj.ptr());
    OwnedHostRef b = OwnedHostRef::adopt(obj.ptr());
    {
      GilRelease released;
      EXPECT_EQ(gil_count(), 0);
      a = OwnedHostRef();  // dropped without the lock: queued
      EXPECT_EQ(Py_REFCNT(obj.ptr()), start + 2);
    }
    EXPECT_EQ(gil_count(), 1);
    EXPECT_EQ(Py_REFCNT(obj.ptr()), start + 1);  // drained when the lock came back
    b = OwnedHostRef();                         // with the lock: released at once
    EXPECT_EQ(Py_REFCNT(obj.ptr()), start);
    return Object::borrow(Py_None);
  });
  EXPECT_EQ(gil_count(), 0);
}

TEST(Runtime, DrainKeepsThePendingException) {
  Object obj = eval("object()");
  Py_INCREF(obj.ptr());
  OwnedHostRef held = OwnedHostRef::adopt(obj.ptr());
  {
    GilRelease released;
    held = OwnedHostRef();
  }
  // gil_count() was 0 outside a host call, so the release is still queued here.
  PyErr_SetString(PyExc_KeyError, "pending");
  drain_deferred_releases();
  Pending p = take_pending();
  EXPECT_EQ(p.type, PyExc_KeyError);
  EXPECT_EQ(Py_REFCNT(obj.ptr()), 1);
}

}  // namespace
}  // namespace vostrel::py

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  const int rc = RUN_ALL_TESTS();
  Py_FinalizeEx();
  return rc;
}
