// Interpreter-lock accounting, deferred releases of host references, and PanicException.
#include "module/runtime.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "index/fatal.hpp"
#include "index/host_ref.hpp"
#include "index/memory_reserve.hpp"
#include "module/refs.hpp"

namespace vostrel {
namespace {

// In the static thread-local block that every thread starts with, not in a block the loader
// hands out lazily per thread: the leak checker of the sanitized build (GCC 12's) crashes, at
// random by memory layout, when it scans such lazily allocated blocks of a loaded module.
[[gnu::tls_model("initial-exec")]] thread_local int t_gil_count = 0;

struct DeferredQueue {
  /// Room kept ahead, so that queueing a release normally allocates nothing.
  static constexpr std::size_t kSpare = 1024;

  std::mutex mutex;
  std::vector<PyObject*> pending;  // owned references, in the order they were dropped
  std::atomic<bool> nonempty{false};
  std::atomic<std::size_t> lost{0};  // references that could not be queued (memory exhausted)

  DeferredQueue() { pending.reserve(kSpare); }
};

DeferredQueue& deferred_queue() {
  static DeferredQueue* q = new DeferredQueue;  // never destroyed: used until the process ends
  return *q;
}

}  // namespace

void host::release(HostObject* obj) noexcept {
  if (!obj) return;
  if (t_gil_count > 0) {
    Py_DECREF(obj);
    return;
  }
  DeferredQueue& q = deferred_queue();
  std::lock_guard<std::mutex> lock(q.mutex);
  if (q.pending.size() == q.pending.capacity()) {
    try {
      q.pending.reserve(q.pending.size() + DeferredQueue::kSpare);
    } catch (const std::bad_alloc&) {
      // Memory is exhausted and the reference cannot be released without the interpreter lock:
      // it is kept (the object leaks) rather than released unsafely.
      q.lost.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  q.pending.push_back(obj);
  q.nonempty.store(true, std::memory_order_release);
}

void host::retain(HostObject* obj) noexcept { Py_INCREF(obj); }

namespace py {

int gil_count() noexcept { return t_gil_count; }

void drain_deferred_releases() noexcept {
  DeferredQueue& q = deferred_queue();
  if (!q.nonempty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    batch.swap(q.pending);
    q.nonempty.store(false, std::memory_order_release);
    try {
      q.pending.reserve(DeferredQueue::kSpare);
    } catch (const std::bad_alloc&) {
      // The queue grows when it must; the releases below go on.
    }
  }
  if (batch.empty()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  for (PyObject* obj : batch) Py_DECREF(obj);  // failures in finalisers are reported as unraisable
  PyErr_Restore(type, value, traceback);
}

EnterHost::EnterHost() noexcept {
  ++t_gil_count;
  drain_deferred_releases();
  memory::replenish_reserve();
}
EnterHost::~EnterHost() { --t_gil_count; }

GilRelease::GilRelease() noexcept : saved_count_(t_gil_count) {
  t_gil_count = 0;
  state_ = PyEval_SaveThread();
}
namespace {

/// Takes the interpreter lock back. While the interpreter finalises, a thread that asks for the
/// lock is ended by the interpreter with a forced unwind (a daemon thread still inside a section
/// that released the lock at exit): that unwind must not cross the system's frames, which cannot
/// be left without the lock and some of which cannot be unwound at all. Such a thread stops here
/// for good instead, and the process exits around it as it would without the module.
void restore_or_stop(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {  // only the forced unwind can come out of the interpreter's C code
    for (;;) pause();
  }
}

}  // namespace

GilRelease::~GilRelease() {
  restore_or_stop(state_);
  t_gil_count = saved_count_;
  drain_deferred_releases();
}

PyObject* panic_exception_type() {
  static PyObject* type = [] {
    // First asked for while an error may be pending (an unhashable value's TypeError is being
    // looked at): the creation must not see it, and it must still be pending afterwards.
    PyObject *pending_type, *pending_value, *pending_traceback;
    PyErr_Fetch(&pending_type, &pending_value, &pending_traceback);
    PyObject* t = PyErr_NewExceptionWithDoc(
        "vostrel_runtime.PanicException",
        "Raised when native code called from Python fails fatally.\n\n"
        "Like SystemExit, it derives from BaseException, so that it typically propagates all the "
        "way up and ends the interpreter.",
        PyExc_BaseException, nullptr);
    if (!t) {
      PyErr_Print();
      std::fputs("Vostrel: could not create PanicException\n", stderr);
      std::abort();
    }
    PyErr_Restore(pending_type, pending_value, pending_traceback);
    return t;
  }();
  return type;
}

void raise_panic(std::string_view message) noexcept {
  PyObject* type = panic_exception_type();
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (!text) return;  // MemoryError stays pending
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// --- HostError ---

HostError HostError::fetch() {
  HostError e;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) {
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  e.type_ = Object::steal(type);
  e.value_ = Object::steal(value);
  e.traceback_ = Object::steal(traceback);
  if (PyErr_GivenExceptionMatches(type, panic_exception_type())) {
    // A fatal failure that went through host code keeps propagating as the same failure.
    std::string message = e.text();
    throw FatalError(std::move(message), std::source_location::current());
  }
  return e;
}

void HostError::restore() && {
  if (static_type_) {
    PyErr_SetString(static_type_, message_.c_str());
    return;
  }
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

bool HostError::is_exactly(PyObject* type) const noexcept {
  if (static_type_) return static_type_ == type;
  return type_.ptr() == type;
}

Object HostError::value() && {
  if (static_type_) {
    Object text = Object::steal(PyUnicode_FromStringAndSize(message_.data(),
                                                            static_cast<Py_ssize_t>(message_.size())));
    if (!text) throw_host_error();
    return require(PyObject_CallOneArg(static_type_, text.ptr()));
  }
  return std::move(value_);
}

std::string HostError::text() const {
  if (static_type_) return message_;
  if (!value_) return {};
  PyObject* s = PyObject_Str(value_.ptr());
  if (!s) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &size);
  std::string out = data ? std::string(data, static_cast<std::size_t>(size)) : std::string();
  if (!data) PyErr_Clear();
  Py_DECREF(s);
  return out;
}

std::string_view utf8_view(Handle str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (!data) throw_host_error();
  return {data, static_cast<std::size_t>(size)};
}

}  // namespace py
}  // namespace vostrel
