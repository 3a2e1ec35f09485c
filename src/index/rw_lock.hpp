// A reader-writer lock that owns the value it guards and stays poisoned after a failed write.
//
// Rules of use:
//  - Reach the value only through a guard: `read()` gives `const T&`, `write()` gives `T&`.
//  - A write guard destroyed while an exception unwinds through it marks the lock poisoned, since
//    the value may be half changed: every later `read()` or `write()` then fails with the
//    poisoned-lock error. Code that undoes its changes before letting an ordinary failure (memory
//    exhaustion) pass says so with `keep_unpoisoned()`; a fatal error always poisons.
//  - Read guards never poison. The lock is not reentrant: a thread holding a guard must not
//    take another on the same lock.
#pragma once

#include <atomic>
#include <exception>
#include <shared_mutex>
#include <source_location>
#include <utility>

#include "index/fatal.hpp"

namespace vostrel {

template <class T>
class RwLock {
 public:
  /// Shared access for the guard's lifetime.
  class ReadGuard {
   public:
    ReadGuard(ReadGuard&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}
    ReadGuard& operator=(ReadGuard&& other) noexcept {
      if (this != &other) {
        unlock();
        lock_ = std::exchange(other.lock_, nullptr);
      }
      return *this;
    }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ~ReadGuard() { unlock(); }

    [[nodiscard]] const T& operator*() const noexcept { return lock_->value_; }
    [[nodiscard]] const T* operator->() const noexcept { return &lock_->value_; }

   private:
    friend class RwLock;
    explicit ReadGuard(const RwLock& lock) noexcept : lock_(&lock) {}
    void unlock() noexcept {
      if (lock_) lock_->mutex_.unlock_shared();
      lock_ = nullptr;
    }

    const RwLock* lock_;
  };

  /// Exclusive access for the guard's lifetime; poisons the lock if destroyed by unwinding.
  class WriteGuard {
   public:
    WriteGuard(WriteGuard&& other) noexcept
        : lock_(std::exchange(other.lock_, nullptr)), exceptions_(other.exceptions_), consistent_(other.consistent_) {}
    WriteGuard& operator=(WriteGuard&& other) noexcept {
      if (this != &other) {
        unlock();
        lock_ = std::exchange(other.lock_, nullptr);
        exceptions_ = other.exceptions_;
        consistent_ = other.consistent_;
      }
      return *this;
    }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    ~WriteGuard() { unlock(); }

    [[nodiscard]] T& operator*() const noexcept { return lock_->value_; }
    [[nodiscard]] T* operator->() const noexcept { return &lock_->value_; }

    /// The value is consistent again: the exception about to unwind through the guard (an
    /// ordinary failure whose changes were undone) does not poison the lock.
    void keep_unpoisoned() noexcept { consistent_ = true; }

   private:
    friend class RwLock;
    explicit WriteGuard(RwLock& lock) noexcept
        : lock_(&lock), exceptions_(std::uncaught_exceptions()) {}
    void unlock() noexcept {
      if (!lock_) return;
      // More exceptions in flight than when the guard was made: one is unwinding through it.
      if (std::uncaught_exceptions() > exceptions_ && !consistent_)
        lock_->poisoned_.store(true, std::memory_order_relaxed);
      lock_->mutex_.unlock();
      lock_ = nullptr;
    }

    RwLock* lock_;
    int exceptions_;
    bool consistent_ = false;
  };

  template <class... Args>
  explicit RwLock(Args&&... args) : value_(std::forward<Args>(args)...) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  /// Waits for shared access; fails if the lock is poisoned.
  [[nodiscard]] ReadGuard read(std::source_location where = std::source_location::current()) const {
    mutex_.lock_shared();
    ReadGuard guard(*this);
    if (is_poisoned()) fatal(kPoisonedLock, where);  // the guard releases on the way out
    return guard;
  }
  /// Waits for exclusive access; fails if the lock is poisoned.
  [[nodiscard]] WriteGuard write(std::source_location where = std::source_location::current()) {
    mutex_.lock();
    if (is_poisoned()) {
      mutex_.unlock();
      fatal(kPoisonedLock, where);
    }
    return WriteGuard(*this);
  }
  /// The value without the lock, for a caller that knows no writer can be running (the host's
  /// cycle collector, which visits a store only while nothing may change it).
  [[nodiscard]] const T& unlocked() const noexcept { return value_; }

  /// True once a write guard has been unwound by an exception.
  [[nodiscard]] bool is_poisoned() const noexcept {
    return poisoned_.load(std::memory_order_relaxed);
  }

 private:
  friend struct RwLockTestPeer;

  mutable std::shared_mutex mutex_;
  // Set and read under the mutex, which orders it; atomic so is_poisoned() may ask unlocked.
  std::atomic<bool> poisoned_{false};
  T value_;
};

}  // namespace vostrel
