// The memory reserve.
#include "index/memory_reserve.hpp"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

#include "index/bitmap.hpp"

namespace vostrel::memory {

namespace {

std::mutex g_mutex;
void* g_reserve = nullptr;  // owned
std::atomic<bool> g_held{false};

}  // namespace

bool replenish_reserve() noexcept {
  if (g_held.load(std::memory_order_relaxed)) return true;
  std::lock_guard lock(g_mutex);
  if (g_reserve) return true;
  g_reserve = std::malloc(kReserveBytes);
  g_held.store(g_reserve != nullptr, std::memory_order_relaxed);
  return g_reserve != nullptr;
}

void expect_reserve() {
  if (!replenish_reserve()) throw std::bad_alloc();
}

void release_reserve() noexcept {
  std::lock_guard lock(g_mutex);
  std::free(g_reserve);
  g_reserve = nullptr;
  g_held.store(false, std::memory_order_relaxed);
}

bool reserve_held() noexcept { return g_held.load(std::memory_order_relaxed); }

void expect_headroom(std::size_t bytes) {
  if (bytes == 0) return;
  void* probe = std::malloc(bytes);
  if (!probe) throw std::bad_alloc();
  std::free(probe);
}

#ifdef VOSTREL_ROARING_HAS_MEMORY_HOOK
namespace {

// Each gives the reserve up and tries once more before it reports failure to CRoaring.
void* reserve_malloc(std::size_t n) {
  void* p = std::malloc(n);
  if (!p) {
    release_reserve();
    p = std::malloc(n);
  }
  return p;
}
void* reserve_realloc(void* old, std::size_t n) {
  void* p = std::realloc(old, n);
  if (!p && n > 0) {
    release_reserve();
    p = std::realloc(old, n);
  }
  return p;
}
void* reserve_calloc(std::size_t count, std::size_t n) {
  void* p = std::calloc(count, n);
  if (!p) {
    release_reserve();
    p = std::calloc(count, n);
  }
  return p;
}
void* reserve_aligned_malloc(std::size_t alignment, std::size_t n) {
  // aligned_alloc wants a size that is a multiple of the alignment.
  const std::size_t rounded = (n + alignment - 1) / alignment * alignment;
  void* p = std::aligned_alloc(alignment, rounded);
  if (!p) {
    release_reserve();
    p = std::aligned_alloc(alignment, rounded);
  }
  return p;
}

}  // namespace

void install_roaring_allocator() noexcept {
  static std::once_flag once;
  std::call_once(once, [] {
    roaring_memory_t hooks{};
    hooks.malloc = reserve_malloc;
    hooks.realloc = reserve_realloc;
    hooks.calloc = reserve_calloc;
    hooks.free = std::free;
    hooks.aligned_malloc = reserve_aligned_malloc;
    hooks.aligned_free = std::free;
    roaring_init_memory_hook(hooks);
  });
}
#else
void install_roaring_allocator() noexcept {}  // this CRoaring release allocates with malloc alone
#endif

}  // namespace vostrel::memory
