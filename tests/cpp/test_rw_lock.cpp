// The poisoning reader-writer lock: poisoning by unwinding writes only (unless the writer undid its
// changes), shared readers, exclusive writers.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <thread>
#include <vector>

#include "index/rw_lock.hpp"

namespace vostrel {

struct RwLockTestPeer {
  /// Whether nothing holds the lock at all, tried without waiting.
  template <class T>
  static bool is_free(RwLock<T>& lock) {
    if (!lock.mutex_.try_lock()) return false;
    lock.mutex_.unlock();
    return true;
  }
};

namespace {

using test::fatal_text;

TEST(RwLock, UnwindingAWriteGuardPoisons) {
  RwLock<int> lock(1);
  EXPECT_EQ(fatal_text([&] {
              auto w = lock.write();
              *w = 2;
              fatal("assertion failed: boom");
            }),
            "assertion failed: boom");
  EXPECT_TRUE(lock.is_poisoned());
  EXPECT_EQ(fatal_text([&] { (void)lock.read(); }), kPoisonedLock);
  EXPECT_TRUE(RwLockTestPeer::is_free(lock));  // the failed read released its share
  EXPECT_EQ(fatal_text([&] { (void)lock.write(); }), kPoisonedLock);
  EXPECT_TRUE(RwLockTestPeer::is_free(lock));
}

TEST(RwLock, ReadsAndCleanWritesDoNotPoison) {
  RwLock<std::vector<int>> lock;
  EXPECT_EQ(fatal_text([&] {
              auto r = lock.read();
              fatal("assertion failed: under read");
            }),
            "assertion failed: under read");
  {
    auto w = lock.write();
    w->push_back(7);
    auto moved = std::move(w);  // one unlock, by the guard that holds the lock
  }
  EXPECT_FALSE(lock.is_poisoned());
  EXPECT_EQ(lock.read()->at(0), 7);

  // A write guard made and dropped while an earlier failure unwinds is not unwound itself.
  struct WritesOnCleanup {
    RwLock<std::vector<int>>& lock;
    ~WritesOnCleanup() { lock.write()->push_back(8); }
  };
  EXPECT_EQ(fatal_text([&] {
              WritesOnCleanup cleanup{lock};
              fatal("assertion failed: outer");
            }),
            "assertion failed: outer");
  EXPECT_FALSE(lock.is_poisoned());
  EXPECT_EQ(lock.read()->size(), 2u);
}

TEST(RwLock, AnUndoneFailureNeedNotPoison) {
  RwLock<int> lock(1);
  for (const bool undone : {true, false}) {
    try {
      auto w = lock.write();
      *w = 2;
      *w = 1;
      if (undone) w.keep_unpoisoned();
      throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    EXPECT_EQ(lock.is_poisoned(), !undone);
  }
  EXPECT_EQ(lock.unlocked(), 1) << "read without the lock, also when poisoned";
}

TEST(RwLock, ReadersShareTheLock) {
  RwLock<int> lock(5);
  std::atomic<int> inside{0};
  std::atomic<bool> met{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto reader = [&] {
    auto r = lock.read();
    ++inside;
    while (inside.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    if (inside.load() == 2) met = true;
  };
  std::thread a(reader), b(reader);
  a.join();
  b.join();
  EXPECT_TRUE(met);  // both held the read lock at once
}

TEST(RwLock, WriterExcludesReaders) {
  struct Pair {
    long a = 0, b = 0;
  };
  RwLock<Pair> lock;
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < 20000; ++i) {
      auto w = lock.write();
      ++w->a;
      ++w->b;
    }
  });
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        auto r = lock.read();
        if (r->a != r->b) torn = true;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(lock.read()->a, 20000);
}

}  // namespace
}  // namespace vostrel
