// Deadline: a watchdog for tests whose failure would be a hang (a lost
// wake-up, a deadlock).  Made at the top of a test body; when the test has
// not ended (destroyed it) within the limit, it names the test on standard
// error and aborts the test binary, so that such a fault fails fast and
// every time instead of stalling the run until an outer timeout kills it.
// Test-only.
#ifndef ALPHABET_HANDLES_TEST_DEADLINE_H_
#define ALPHABET_HANDLES_TEST_DEADLINE_H_

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace handles {

class Deadline {
 public:
  explicit Deadline(std::chrono::seconds limit)
      : test_(CurrentTest()), watchdog_([this, limit] { Watch(limit); }) {}
  ~Deadline() {
    {
      std::lock_guard guard(mu_);
      ended_ = true;
    }
    ended_cv_.notify_one();
    watchdog_.join();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  static std::string CurrentTest() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    return info == nullptr ? "a test" : std::string(info->test_suite_name()) + "." + info->name();
  }

  void Watch(std::chrono::seconds limit) {
    std::unique_lock lock(mu_);
    if (ended_cv_.wait_for(lock, limit, [this] { return ended_; })) return;
    std::fprintf(stderr,
                 "%s did not finish within %lld s: a thread is stuck (a lost wake-up or a "
                 "deadlock); aborting\n",
                 test_.c_str(), static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::abort();
  }

  const std::string test_;
  std::mutex mu_;
  std::condition_variable ended_cv_;
  bool ended_ = false;    // guarded by mu_
  std::thread watchdog_;  // last: starts once the members above exist
};

}  // namespace handles

#endif  // ALPHABET_HANDLES_TEST_DEADLINE_H_
