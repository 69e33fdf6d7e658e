// The registry and alphabets used from many threads at once, the way the
// module's bound calls use them with the interpreter lock released: lookups
// of a shared alphabet, Encode and Decode on it, new and extended alphabets
// registered, counts moved up and down, and handles removed while other
// threads still use the object they looked up.  Built with
// ALPHABET_SANITIZE=thread it is a race detector's workload; in every build
// it checks the answers and the final accounting.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "alphabet/alphabet.h"
#include "handles/registry.h"
#include "handles/test_deadline.h"

namespace {

using alphabet::Alphabet;
using alphabet::AlphabetPtr;
using alphabet::ValueView;
using handles::Handle;
using handles::Registry;
using std::chrono_literals::operator""s;

constexpr int kThreads = 8;

std::vector<std::string> Symbols(int n) {
  std::vector<std::string> symbols;
  for (int i = 0; i < n; ++i) symbols.push_back("s" + std::to_string(i));
  return symbols;
}

// Trace output goes to /dev/null: rendering objects under the registry's lock
// is part of the workload.
class DevNull {
 public:
  DevNull() : fd_(open("/dev/null", O_WRONLY)) {}
  ~DevNull() { close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_;
};

TEST(ConcurrencyTest, SharedAlphabetLookupsAndNewRegistrations) {
  handles::Deadline deadline(120s);
  DevNull null;
  Registry registry(null.fd(), null.fd());
  const std::vector<std::string> symbols = Symbols(300);
  const Handle shared = registry.Register("alphabet", alphabet::NewAlphabet(symbols));
  registry.IncRef(shared);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      std::vector<Handle> mine;
      for (int i = 0; i < 1500; ++i) {
        registry.IncRef(shared);
        auto found = registry.VarFromHandleTry<const Alphabet>(shared);
        if (!found.found()) {
          ++wrong;
          continue;
        }
        const int64_t code = static_cast<int64_t>(rng() % symbols.size());
        if (found.object->Encode(ValueView::Text(symbols[code])).code != code) ++wrong;
        if (found.object->Decode(ValueView::Int(code)).symbol != symbols[code]) ++wrong;
        if (!found.object->Encode(ValueView::Text("missing")).error) ++wrong;
        if (i % 10 == 0) {
          const Handle extended = registry.Register("alphabet", found.object->Extend({"x"}));
          registry.IncRef(extended);
          mine.push_back(extended);
        }
        registry.DecRef(shared);
        if (mine.size() > 5) {
          registry.DecRef(mine.front());
          mine.erase(mine.begin());
        }
      }
      for (Handle h : mine) registry.DecRef(h);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(registry.NumHandles(), 1);
  registry.DecRef(shared);
  EXPECT_EQ(registry.NumHandles(), 0);
}

// One thread keeps replacing the alphabet in a slot, releasing the one before,
// while the others look the slot up and use what they found.  An object must
// stay whole for whoever looked it up, however soon its handle is removed.
// The readers make a fixed number of lookups and the writer replaces until
// they are done: the registry's lock lets readers in ahead of a waiting
// writer, so a writer-paced run could take arbitrarily long.
TEST(ConcurrencyTest, ObjectsOutliveTheirRemovedHandlesForTheirUsers) {
  handles::Deadline deadline(120s);
  constexpr int kReaders = kThreads - 1;
  DevNull null;
  Registry registry(null.fd(), null.fd());
  std::atomic<Handle> slot{handles::kNoHandle};
  std::atomic<int> readers_done{0};
  std::atomic<int> wrong{0};
  std::atomic<int> used{0};
  int replaced = 0;

  std::thread writer([&] {
    while (readers_done.load() < kReaders) {
      const Handle h =
          registry.Register("alphabet", alphabet::NewAlphabet(Symbols(1 + replaced % 40)));
      registry.IncRef(h);
      const Handle old = slot.exchange(h);
      registry.DecRef(old);  // ignored for kNoHandle
      ++replaced;
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < kReaders; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        auto found = registry.VarFromHandleTry<const Alphabet>(slot.load());
        if (!found.found()) continue;  // removed meanwhile: names nothing
        const auto& symbols = found.object->Symbols();
        const int64_t last = static_cast<int64_t>(symbols.size()) - 1;
        if (found.object->Decode(ValueView::Int(last)).symbol != "s" + std::to_string(last)) {
          ++wrong;
        }
        ++used;
      }
      ++readers_done;
    });
  }
  for (auto& reader : readers) reader.join();
  writer.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(used.load(), 0);
  EXPECT_GT(replaced, 0);
  EXPECT_EQ(registry.NumHandles(), 1);
  registry.DecRef(slot.load());
  EXPECT_EQ(registry.NumHandles(), 0);
}

// Forks while other threads hold the global registry's lock now and then:
// the child's first registration must not wait for a thread it does not have.
TEST(ConcurrencyTest, ForkedChildCanRegisterWhileParentThreadsUseTheRegistry) {
  handles::Deadline deadline(120s);
  Registry& registry = handles::Global();
  const Handle shared = registry.Register("alphabet", alphabet::NewAlphabet(Symbols(8)));
  registry.IncRef(shared);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      while (!stop) {
        if (t == 0) {
          const Handle h = registry.Register("alphabet", alphabet::NewAlphabet({}));
          registry.IncRef(h);
          registry.DecRef(h);
        } else {
          registry.VarFromHandleTry<const Alphabet>(shared);
        }
      }
    });
  }
  int stuck = 0;
  for (int i = 0; i < 200; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      const Handle h = registry.Register("alphabet", alphabet::NewAlphabet({}));
      registry.IncRef(h);
      registry.DecRef(h);
      _exit(0);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    pid_t done = 0;
    for (int waited_ms = 0; waited_ms < 3000 && done == 0; ++waited_ms) {
      done = waitpid(pid, &status, WNOHANG);
      if (done == 0) usleep(1000);
    }
    if (done == 0) {
      ++stuck;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;  // one is enough
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  }
  stop = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(stuck, 0);
}

}  // namespace
