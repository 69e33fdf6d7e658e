// Registry costs: a full handle life (Register, IncRef, DecRef), a lookup,
// each on one thread and on two at once, and the memory a live entry takes.
// Every figure is the best of a few rounds.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "handles/registry.h"

namespace {

struct Tiny {
  int64_t value = 0;
};
std::string Describe(const Tiny&) { return "Tiny"; }

using Clock = std::chrono::steady_clock;

// Runs `body(thread_index)` on `threads` threads at once; wall seconds.
template <class Body>
double Wall(int threads, Body body) {
  const auto start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(body, t);
  for (auto& t : pool) t.join();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class Body>
double Best(int rounds, Body body) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) best = std::min(best, body());
  return best;
}

}  // namespace

int main() {
  constexpr int64_t kOps = 2'000'000;
  handles::Registry registry;
  auto object = std::make_shared<Tiny>();

  // With two threads the figure is wall time over all operations of both.
  std::printf("%-40s %10s %14s\n", "operation", "threads", "ns per op");
  for (int threads : {1, 2}) {
    const int64_t per_thread = kOps / threads;
    const double life = Best(3, [&] {
      return Wall(threads, [&](int) {
        for (int64_t i = 0; i < per_thread; ++i) {
          const handles::Handle h = registry.Register("t", object);
          registry.IncRef(h);
          registry.DecRef(h);
        }
      });
    });
    std::printf("%-40s %10d %14.1f\n", "Register + IncRef + DecRef", threads,
                life / kOps * 1e9);
  }

  const handles::Handle held = registry.Register("t", object);
  for (int threads : {1, 2}) {
    const int64_t per_thread = kOps * 5 / threads;
    int64_t sink[2] = {0, 0};
    const double lookup = Best(3, [&] {
      return Wall(threads, [&](int t) {
        for (int64_t i = 0; i < per_thread; ++i) {
          sink[t] += registry.VarFromHandleTry<Tiny>(held).object->value;
        }
      });
    });
    std::printf("%-40s %10d %14.1f\n", "lookup (shared reference handed out)", threads,
                lookup / (kOps * 5) * 1e9);
    const double visit = Best(3, [&] {
      return Wall(threads, [&](int t) {
        for (int64_t i = 0; i < per_thread; ++i) {
          registry.Visit<Tiny>(held, [&](Tiny& tiny) { sink[t] += tiny.value; });
        }
      });
    });
    std::printf("%-40s %10d %14.1f\n", "lookup (visit in place)", threads,
                visit / (kOps * 5) * 1e9);
  }

  // Memory: heap growth while 2M entries of one shared object are live, so
  // only the registry's own share is counted.
  constexpr int64_t kLive = 2'000'000;
  std::vector<handles::Handle> live;
  live.reserve(kLive);
  const size_t reserved = mallinfo2().uordblks;
  for (int64_t i = 0; i < kLive; ++i) live.push_back(registry.Register("t", object));
  const size_t after = mallinfo2().uordblks;
  std::printf("\nheap per live entry (object shared): %.1f bytes\n",
              static_cast<double>(after - reserved) / kLive);
  return 0;
}
