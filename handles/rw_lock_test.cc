#include "handles/rw_lock.h"

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace handles {
namespace {

// Writers change two fields that readers must always see equal; a reader
// that ever sees them apart, or overlaps a writer, breaks the lock.
TEST(RwLockTest, WritersExcludeEveryoneAndReadersShare) {
  RwLock lock;
  int64_t a = 0, b = 0;
  std::atomic<int> readers_inside{0}, max_readers_inside{0}, writers_inside{0};
  std::atomic<bool> broken{false};
  constexpr int kWriters = 3, kReaders = 5, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::unique_lock guard(lock);
        if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) broken = true;
        ++a;
        ++b;
        writers_inside.fetch_sub(1);
      }
    });
  }
  for (int r = 0; r < kReaders; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::shared_lock guard(lock);
        int inside = readers_inside.fetch_add(1) + 1;
        int seen = max_readers_inside.load();
        while (inside > seen && !max_readers_inside.compare_exchange_weak(seen, inside)) {
        }
        if (writers_inside.load() != 0 || a != b) broken = true;
        readers_inside.fetch_sub(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(broken.load());
  EXPECT_EQ(a, int64_t{kWriters} * kRounds);
  EXPECT_EQ(b, a);
}

TEST(RwLockTest, AWaitingWriterIsNotStarvedByReaders) {
  RwLock lock;
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) std::shared_lock guard(lock);
    });
  }
  for (int i = 0; i < 1000; ++i) std::unique_lock guard(lock);  // must get through
  stop = true;
  for (auto& t : readers) t.join();
}

// A forked child's lock is free again, however the parent's threads held it.
TEST(RwLockTest, ResetInForkedChildFreesALockHeldInEitherMode) {
  RwLock lock;
  lock.lock_shared();
  lock.lock_shared();
  lock.ResetInForkedChild();
  auto writer = std::async(std::launch::async, [&] {
    lock.lock();
    lock.unlock();
  });
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  lock.lock();
  lock.ResetInForkedChild();
  auto reader = std::async(std::launch::async, [&] {
    lock.lock_shared();
    lock.unlock_shared();
  });
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
}  // namespace handles
