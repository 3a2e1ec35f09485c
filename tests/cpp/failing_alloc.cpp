// The test binary's operator new and delete: plain malloc and free, with failures on request
// (test::FailingAllocations), so that tests can meet memory exhaustion at every allocation.
#include <cstdlib>
#include <new>

#include "test_support.hpp"

namespace {

// Allocations still to succeed on this thread; negative while no failure is asked for.
thread_local long t_left = -1;
thread_local bool t_persistent = false;
thread_local bool t_failed = false;

bool should_fail() noexcept {
  if (t_left < 0) return false;
  if (t_left > 0) {
    --t_left;
    return false;
  }
  t_failed = true;
  if (!t_persistent) t_left = -1;
  return true;
}

void* allocate(std::size_t size, std::size_t align) noexcept {
  if (should_fail()) return nullptr;
  if (size == 0) size = 1;
  if (align <= alignof(std::max_align_t)) return std::malloc(size);
  return std::aligned_alloc(align, (size + align - 1) / align * align);
}

void* allocate_or_throw(std::size_t size, std::size_t align) {
  void* p = allocate(size, align);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace vostrel::test {

FailingAllocations::FailingAllocations(long succeeding, bool persistent) {
  t_left = succeeding;
  t_persistent = persistent;
  t_failed = false;
}
FailingAllocations::~FailingAllocations() { t_left = -1; }
bool FailingAllocations::failed() noexcept { return t_failed; }

}  // namespace vostrel::test

void* operator new(std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
