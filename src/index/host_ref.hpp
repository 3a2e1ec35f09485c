// Host object references as the core sees them: opaque pointers whose handling is the host layer's.
//
// Rules of use:
//  - The core never calls the interpreter directly. It holds host objects only through owners
//    (OwnedHostRef, PyValue, store slots), each owning one host reference, whose release goes to
//    `host::release`.
//  - `host::release`, `host::retain` and `host::str_text` are defined by the module layer: a release
//    happens at once when the calling thread holds the interpreter lock and is queued otherwise; a
//    retain and reading a string's text need the lock. Core tests link a stand-in.
//  - An owner may be moved and dropped on any thread; a second owner of the same object (`share()`,
//    `clone()`) needs the interpreter lock. The system arranges to drop owners with the lock held,
//    so that the queue is the exception, not the rule.
#pragma once

#include <string_view>
#include <utility>

struct _object;  // the interpreter's object header, opaque here

namespace vostrel {

using HostObject = ::_object;

namespace host {
/// Releases one owned reference to `obj` (now or, without the interpreter lock, deferred).
void release(HostObject* obj) noexcept;
/// Takes one more reference to `obj`; the caller holds the interpreter lock.
void retain(HostObject* obj) noexcept;
/// The UTF-8 text of a host str (valid while the str lives); the caller holds the interpreter lock.
std::string_view str_text(HostObject* str);
}  // namespace host

/// The sole owner of one host reference: eight bytes, no allocation.
class OwnedHostRef {
 public:
  OwnedHostRef() noexcept = default;
  /// Takes over one owned host reference (or nothing, for null).
  [[nodiscard]] static OwnedHostRef adopt(HostObject* obj) noexcept { return OwnedHostRef(obj); }
  OwnedHostRef(OwnedHostRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  OwnedHostRef& operator=(OwnedHostRef&& other) noexcept {
    if (this != &other) {
      host::release(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  OwnedHostRef(const OwnedHostRef&) = delete;
  OwnedHostRef& operator=(const OwnedHostRef&) = delete;
  ~OwnedHostRef() { host::release(obj_); }

  /// A second owner of the same object, with a reference of its own; needs the interpreter lock.
  [[nodiscard]] OwnedHostRef share() const noexcept {
    if (obj_) host::retain(obj_);
    return OwnedHostRef(obj_);
  }
  /// The host object, borrowed for as long as this owner lives.
  [[nodiscard]] HostObject* get() const noexcept { return obj_; }
  [[nodiscard]] explicit operator bool() const noexcept { return obj_ != nullptr; }
  /// Hands the reference to the caller.
  [[nodiscard]] HostObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit OwnedHostRef(HostObject* obj) noexcept : obj_(obj) {}
  HostObject* obj_ = nullptr;  // owned: one host reference, or null
};

}  // namespace vostrel
