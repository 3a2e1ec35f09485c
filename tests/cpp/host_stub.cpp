// Stand-in for the host layer in core tests: counts host references handed back for release.
#include <atomic>

#include "index/host_ref.hpp"
#include "host_stub.hpp"

namespace vostrel {
namespace {
std::atomic<long> g_released{0};
}

void host::release(HostObject*) noexcept { g_released.fetch_add(1, std::memory_order_relaxed); }

long test::released_host_refs() noexcept { return g_released.load(std::memory_order_relaxed); }

}  // namespace vostrel
