// The interpreter lock as the system tracks it, the deferred release queue, and PanicException.
//
// Every host call enters holding the interpreter lock and counts itself on this thread
// (`EnterHost`). Sections that release the lock (`GilRelease`) save the count, set it to zero and
// restore it afterwards. Host references dropped while the count is zero are queued and released,
// in queue order, the next time the lock is held: on entry to a host call and at the end of every
// released section.
#pragma once

#include <Python.h>

#include <string_view>

namespace vostrel::py {

/// Number of times the current thread holds the interpreter lock through the system.
int gil_count() noexcept;

/// Releases every queued host reference; keeps any pending exception.
void drain_deferred_releases() noexcept;

/// Scope of one host call: counts the lock as held and drains the queue on entry.
class EnterHost {
 public:
  EnterHost() noexcept;
  ~EnterHost();
  EnterHost(const EnterHost&) = delete;
  EnterHost& operator=(const EnterHost&) = delete;
};

/// Releases the interpreter lock for its scope. Take no host object and hold no index lock across
/// its end: the lock is retaken before anything else happens.
class GilRelease {
 public:
  GilRelease() noexcept;
  ~GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
  int saved_count_;
};

/// Runs f() with the interpreter lock released and returns its result.
template <class F>
decltype(auto) without_gil(F&& f) {
  GilRelease released;
  return f();
}

/// The PanicException type (created on first need); borrowed, lives for the process.
PyObject* panic_exception_type();

/// Sets PanicException(message) as the pending exception.
void raise_panic(std::string_view message) noexcept;

}  // namespace vostrel::py
