// Stand-in for the module layer's host functions: fake objects that count their references.
#include "host_stub.hpp"

#include <atomic>
#include <deque>
#include <mutex>
#include <string>

namespace vostrel {
namespace {

/// A fake host object: aligned like a real one (the core keeps a value's kind in the low bits).
struct alignas(16) FakeObject {
  std::atomic<long> refs{1};
  std::string text;
};

std::atomic<long> g_live{0};
std::atomic<long> g_bad_releases{0};

FakeObject* fake(HostObject* obj) noexcept { return reinterpret_cast<FakeObject*>(obj); }

}  // namespace

void host::release(HostObject* obj) noexcept {
  if (!obj) return;
  if (fake(obj)->refs.fetch_sub(1) <= 0) {
    fake(obj)->refs.fetch_add(1);
    g_bad_releases.fetch_add(1);
    return;
  }
  g_live.fetch_sub(1);
}

void host::retain(HostObject* obj) noexcept { (void)test::new_ref(obj); }

std::string_view host::str_text(HostObject* str) { return fake(str)->text; }

HostObject* test::new_object(std::string_view text) {
  // Objects live until the process ends, so that an address is never reused by a later object.
  static std::mutex mutex;
  static auto* objects = new std::deque<FakeObject>;
  std::lock_guard lock(mutex);
  FakeObject& obj = objects->emplace_back();
  obj.text = text;
  g_live.fetch_add(1);
  return reinterpret_cast<HostObject*>(&obj);
}

HostObject* test::new_ref(HostObject* obj) noexcept {
  if (obj) {
    fake(obj)->refs.fetch_add(1);
    g_live.fetch_add(1);
  }
  return obj;
}

long test::refs(HostObject* obj) noexcept { return fake(obj)->refs.load(); }
long test::live_refs() noexcept { return g_live.load(); }
long test::bad_releases() noexcept { return g_bad_releases.load(); }

}  // namespace vostrel
