// Registry costs: a full handle life (Register, IncRef, DecRef), a lookup,
// each on one thread and on two at once, lookups spread over two million
// live handles, and the memory a live entry takes when every handle stays
// live (dense) and when one in 64 does (sparse).  Every time is the best of
// many short rounds: on a shared machine a short round has a fair chance of
// running undisturbed.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
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

// Bytes allocated from the heap, mapped blocks included.
size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Heap growth per live entry, in a registry of its own, while `live` entries
// of one shared object are live (so only the registry's share counts), with
// `every` handles registered per live one and the others released at once.
double HeapPerLiveEntry(int64_t live, int every) {
  auto object = std::make_shared<Tiny>();
  std::vector<handles::Handle> kept;
  kept.reserve(live);
  const size_t before = HeapInUse();
  {
    handles::Registry registry;
    for (int64_t i = 0; i < live; ++i) {
      kept.push_back(registry.Register("t", object));
      for (int j = 1; j < every; ++j) {
        const handles::Handle h = registry.Register("t", object);
        registry.IncRef(h);
        registry.DecRef(h);
      }
    }
    return static_cast<double>(HeapInUse() - before) / static_cast<double>(live);
  }
}

}  // namespace

int main() {
  constexpr int kRounds = 40;
  constexpr int64_t kOps = 100'000;  // per round
  handles::Registry registry;
  auto object = std::make_shared<Tiny>();

  // With two threads the figure is wall time over all operations of both.
  std::printf("%-40s %10s %14s\n", "operation", "threads", "ns per op");
  for (int threads : {1, 2}) {
    const int64_t per_thread = kOps / threads;
    const double life = Best(kRounds, [&] {
      return Wall(threads, [&](int) {
        for (int64_t i = 0; i < per_thread; ++i) {
          const handles::Handle h = registry.Register("t", object);
          registry.IncRef(h);
          registry.DecRef(h);
        }
      });
    });
    std::printf("%-40s %10d %14.1f\n", "Register + IncRef + DecRef", threads, life / kOps * 1e9);
  }

  const handles::Handle held = registry.Register("t", object);
  for (int threads : {1, 2}) {
    const int64_t per_thread = kOps * 5 / threads;
    int64_t sink[2] = {0, 0};
    const double lookup = Best(kRounds, [&] {
      return Wall(threads, [&](int t) {
        for (int64_t i = 0; i < per_thread; ++i) {
          sink[t] += registry.VarFromHandleTry<Tiny>(held).object->value;
        }
      });
    });
    std::printf("%-40s %10d %14.1f\n", "lookup (shared reference handed out)", threads,
                lookup / (kOps * 5) * 1e9);
    const double visit = Best(kRounds, [&] {
      return Wall(threads, [&](int t) {
        for (int64_t i = 0; i < per_thread; ++i) {
          registry.Visit<Tiny>(held, [&](Tiny& tiny) { sink[t] += tiny.value; });
        }
      });
    });
    std::printf("%-40s %10d %14.1f\n", "lookup (visit in place)", threads,
                visit / (kOps * 5) * 1e9);
  }

  // Lookups of live handles in random order among two million: the page
  // index and the entries no longer fit in the caches.
  {
    constexpr int64_t kLive = 2'000'000;
    std::vector<handles::Handle> live;
    live.reserve(kLive);
    for (int64_t i = 0; i < kLive; ++i) live.push_back(registry.Register("t", object));
    std::shuffle(live.begin(), live.end(), std::mt19937_64(1));
    int64_t sink = 0, round = 0;
    const double spread = Best(kRounds * 5, [&] {
      const int64_t from = (round++ * kOps) % (kLive - kOps);
      return Wall(1, [&](int) {
        for (int64_t i = from; i < from + kOps; ++i) {
          registry.Visit<Tiny>(live[i], [&](Tiny& tiny) { sink += tiny.value; });
        }
      });
    });
    std::printf("%-40s %10d %14.1f\n", "lookup (visit), random of 2M live", 1, spread / kOps * 1e9);
    for (handles::Handle h : live) {
      registry.IncRef(h);
      registry.DecRef(h);
    }
  }

  constexpr int64_t kDense = 2'000'000, kSparse = 100'000;
  std::printf("\nheap per live entry (object shared), %lld live: %.1f bytes\n",
              static_cast<long long>(kDense), HeapPerLiveEntry(kDense, 1));
  std::printf("heap per live entry (object shared), %lld live, 1 in 64: %.1f bytes\n",
              static_cast<long long>(kSparse), HeapPerLiveEntry(kSparse, 64));
  return 0;
}
