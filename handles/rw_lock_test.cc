#include "handles/rw_lock.h"

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <future>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "handles/test_deadline.h"

namespace handles {
namespace {

using std::chrono_literals::operator""s;

// Writers change two fields that readers must always see equal; a reader
// that ever sees them apart, or overlaps a writer, breaks the lock.
TEST(RwLockTest, WritersExcludeEveryoneAndReadersShare) {
  Deadline deadline(60s);
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
  Deadline deadline(60s);
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

// A reader arriving while a writer waits for the readers inside must queue
// behind the writer.  Whether the writer is waiting yet cannot be seen from
// outside, so each trial gives it a generous moment to get there; a lock
// that let readers pass would let the new reader in on every trial.
TEST(RwLockTest, AReaderArrivingBehindAWaitingWriterWaitsForIt) {
  Deadline deadline(60s);
  bool queued_behind_writer = false;
  for (int trial = 0; trial < 5 && !queued_behind_writer; ++trial) {
    RwLock lock;
    std::atomic<int> order{0}, writer_turn{0}, reader_turn{0};
    lock.lock_shared();
    std::thread writer([&] {
      std::unique_lock guard(lock);
      writer_turn = ++order;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::thread reader([&] {
      std::shared_lock guard(lock);
      reader_turn = ++order;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool reader_waited = reader_turn.load() == 0;
    lock.unlock_shared();
    writer.join();
    reader.join();
    queued_behind_writer = reader_waited && writer_turn.load() == 1 && reader_turn.load() == 2;
  }
  EXPECT_TRUE(queued_behind_writer);
}

// Busy for about `duration`, keeping the processor as work would.
void Busy(std::chrono::microseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
  }
}

// Rounds of contention: all threads start a round together, take the lock a
// few times each (writers exclusively, readers shared), now and then holding
// it long enough that the others go to sleep on it, and meet at the end of
// the round.  Under constant hammering a lost wake-up can hide, since the
// next unlock wakes the sleeper anyway; at the end of a round nobody is left
// to do so, the round never ends, and the deadline fails the test.
TEST(RwLockTest, EveryWaiterGetsThroughInRoundsOfContention) {
  Deadline deadline(60s);
  RwLock lock;
  constexpr int kWriters = 4, kReaders = 4, kRounds = 3000, kTakes = 2;
  std::barrier round(kWriters + kReaders);
  int64_t written = 0;
  std::atomic<bool> went_back{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters + kReaders; ++t) {
    threads.emplace_back([&, t] {
      const bool writer = t < kWriters;
      std::minstd_rand rng(t);
      int64_t seen = 0;
      for (int r = 0; r < kRounds; ++r) {
        round.arrive_and_wait();
        for (int k = 0; k < kTakes; ++k) {
          Busy(std::chrono::microseconds(rng() % 3));
          const auto hold = std::chrono::microseconds(rng() % 4 == 0 ? 20 : 0);
          if (writer) {
            std::unique_lock guard(lock);
            ++written;
            Busy(hold);
          } else {
            std::shared_lock guard(lock);
            if (written < seen) went_back = true;
            seen = written;
            Busy(hold);
          }
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(went_back.load());
  EXPECT_EQ(written, int64_t{kWriters} * kRounds * kTakes);
}

// A forked child's lock is free again, however the parent's threads held it.
TEST(RwLockTest, ResetInForkedChildFreesALockHeldInEitherMode) {
  Deadline deadline(60s);
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
