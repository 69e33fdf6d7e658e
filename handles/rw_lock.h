// RwLock: a readers-writer lock for the registry's short critical sections.
//
// An uncontended reader pays one atomic add to enter and one to leave, where
// the C library's lock spends several times that; the registry takes a read
// lock on every lookup, which every call through a handle makes.  Writers
// take precedence: once a writer is waiting, new readers back off until it
// is done, so a stream of lookups cannot hold a registration off.  Waiting
// blocks on the lock word (futex), it does not spin.
//
// Meets the standard Lockable and SharedLockable requirements, so it is used
// through std::unique_lock and std::shared_lock.  Not recursive: a thread
// holding it in either mode must not take it again.
#ifndef ALPHABET_HANDLES_RW_LOCK_H_
#define ALPHABET_HANDLES_RW_LOCK_H_

#include <atomic>
#include <cstdint>

namespace handles {

class RwLock {
 public:
  RwLock() = default;
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock_shared() {
    if (state_.fetch_add(1, std::memory_order_acquire) & kWriter) [[unlikely]] {
      WaitAsReader();
    }
  }

  void unlock_shared() {
    // The last reader out wakes a writer waiting for the readers to drain.
    if (state_.fetch_sub(1, std::memory_order_release) - 1 == kWriter) [[unlikely]] {
      state_.notify_all();
    }
  }

  void lock() {
    // Claim the writer bit, one writer at a time; readers arriving from now
    // on back off.
    uint32_t seen = state_.load(std::memory_order_relaxed);
    for (;;) {
      if (seen & kWriter) {
        state_.wait(seen, std::memory_order_relaxed);
        seen = state_.load(std::memory_order_relaxed);
      } else if (state_.compare_exchange_weak(seen, seen | kWriter, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
        break;
      }
    }
    // Then wait for the readers already inside to leave.
    while ((seen = state_.load(std::memory_order_acquire)) != kWriter) {
      state_.wait(seen, std::memory_order_acquire);
    }
  }

  void unlock() {
    state_.fetch_and(~kWriter, std::memory_order_release);
    state_.notify_all();
  }

  // In a child just forked, where the forking thread is the only thread:
  // makes the lock free, whatever the word says.  Even when the forking
  // thread held it exclusively, a reader of the parent that was backing off
  // (between its increment and its decrement) may have left a count that no
  // thread of the child will ever take back.
  void ResetInForkedChild() { state_.store(0, std::memory_order_relaxed); }

 private:
  // A reader that found a writer: undo its entry, wait for the writer to
  // finish, and try again.
  void WaitAsReader() {
    for (;;) {
      if (state_.fetch_sub(1, std::memory_order_relaxed) - 1 == kWriter) state_.notify_all();
      uint32_t seen;
      while ((seen = state_.load(std::memory_order_relaxed)) & kWriter) {
        state_.wait(seen, std::memory_order_relaxed);
      }
      if (!(state_.fetch_add(1, std::memory_order_acquire) & kWriter)) return;
    }
  }

  // The number of readers inside (or backing off), plus kWriter while a
  // writer holds the lock or waits for the readers to drain.
  static constexpr uint32_t kWriter = uint32_t{1} << 31;
  std::atomic<uint32_t> state_{0};
};

}  // namespace handles

#endif  // ALPHABET_HANDLES_RW_LOCK_H_
