// Host object references as the core sees them: opaque pointers whose release is the host layer's job.
//
// Rules of use:
//  - The core never calls the interpreter. It holds host objects only through OwnedHostRef (one
//    owner, one host reference) or SharedHostRef (copies share one holder), whose last owner hands
//    the host reference to `host::release`.
//  - `host::release` and `host::retain` are defined by the module layer: a release happens at once
//    when the calling thread holds the interpreter lock and is queued otherwise; a retain needs the
//    lock. Core tests link a stand-in.
//  - An OwnedHostRef may be moved and dropped on any thread; `share()` (a second owner) needs the
//    interpreter lock. Copies of a SharedHostRef share one holder with an atomic count, so they may
//    be made, moved and dropped on any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <utility>

struct _object;  // the interpreter's object header, opaque here

namespace vostrel {

using HostObject = ::_object;

namespace host {
/// Releases one owned reference to `obj` (now or, without the interpreter lock, deferred).
void release(HostObject* obj) noexcept;
/// Takes one more reference to `obj`; the caller holds the interpreter lock.
void retain(HostObject* obj) noexcept;
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

 private:
  explicit OwnedHostRef(HostObject* obj) noexcept : obj_(obj) {}
  HostObject* obj_ = nullptr;  // owned: one host reference, or null
};

class SharedHostRef {
 public:
  SharedHostRef() noexcept = default;
  /// Takes over one owned host reference.
  static SharedHostRef adopt(HostObject* obj) {
    SharedHostRef r;
    if (!obj) return r;
    try {
      r.holder_ = new Holder{{1}, obj};
    } catch (...) {
      host::release(obj);  // the reference was handed over: it must not leak
      throw;
    }
    return r;
  }
  SharedHostRef(const SharedHostRef& other) noexcept : holder_(other.holder_) { retain(); }
  SharedHostRef(SharedHostRef&& other) noexcept : holder_(std::exchange(other.holder_, nullptr)) {}
  SharedHostRef& operator=(SharedHostRef other) noexcept {
    std::swap(holder_, other.holder_);
    return *this;
  }
  ~SharedHostRef() { drop(); }

  /// The host object, borrowed for as long as this holder lives.
  [[nodiscard]] HostObject* get() const noexcept { return holder_ ? holder_->obj : nullptr; }
  [[nodiscard]] explicit operator bool() const noexcept { return holder_ != nullptr; }
  /// Number of holders sharing the object (for tests and diagnostics).
  [[nodiscard]] std::uint32_t use_count() const noexcept {
    return holder_ ? holder_->count.load(std::memory_order_relaxed) : 0;
  }

 private:
  struct Holder {
    std::atomic<std::uint32_t> count;
    HostObject* obj;  // owned: one host reference
  };
  static constexpr std::uint32_t kMaxHolders = UINT32_MAX - 1;  // beyond this the count would wrap

  void retain() noexcept {
    if (holder_ && holder_->count.fetch_add(1, std::memory_order_relaxed) >= kMaxHolders) std::abort();
  }
  void drop() noexcept {
    if (holder_ && holder_->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      host::release(holder_->obj);
      delete holder_;
    }
    holder_ = nullptr;
  }

  Holder* holder_ = nullptr;
};

}  // namespace vostrel
