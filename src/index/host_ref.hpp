// Host object references as the core sees them: opaque pointers whose release is the host layer's job.
//
// Rules of use:
//  - The core never calls the interpreter. It holds host objects only through SharedHostRef, whose
//    last holder hands the one host reference it owns to `host::release`.
//  - `host::release` is defined by the module layer: it releases at once when the calling thread holds
//    the interpreter lock and queues the release otherwise. Core tests link a stand-in.
//  - Copies of a SharedHostRef share one holder with an atomic count, so they may be made, moved and
//    dropped on any thread.
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
}  // namespace host

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
