// Stand-in for the module layer's release of host references: counts releases, touches nothing.
#include "host_stub.hpp"

#include <atomic>
#include <cstdint>

namespace vostrel {
namespace {

std::atomic<std::size_t> g_releases{0};
std::atomic<std::size_t> g_retains{0};

/// Addresses for fake host objects: aligned like real objects, never read or written.
alignas(16) unsigned char g_fake_objects[64][16];

}  // namespace

void host::release(HostObject* obj) noexcept {
  if (obj) g_releases.fetch_add(1, std::memory_order_relaxed);
}

void host::retain(HostObject* obj) noexcept {
  if (obj) g_retains.fetch_add(1, std::memory_order_relaxed);
}

std::size_t test::host_retain_count() noexcept { return g_retains.load(std::memory_order_relaxed); }

std::size_t test::host_release_count() noexcept { return g_releases.load(std::memory_order_relaxed); }

long test::released_host_refs() noexcept { return static_cast<long>(host_release_count()); }

HostObject* test::fake_host_object(std::size_t n) noexcept {
  return reinterpret_cast<HostObject*>(g_fake_objects[n % 64]);
}

}  // namespace vostrel
