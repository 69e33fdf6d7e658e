#include "handles/registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace probe {

struct Thing {
  std::string name;
};
std::string Describe(const Thing& t) { return "Thing{" + t.name + "}"; }

struct Other {};
std::string Describe(const Other&) { return "Other{}"; }

}  // namespace probe

namespace handles {
namespace {

using probe::Other;
using probe::Thing;

std::shared_ptr<Thing> MakeThing(std::string name = "x") {
  return std::make_shared<Thing>(Thing{std::move(name)});
}

// Captures what the registry writes to a descriptor.
class Capture {
 public:
  Capture() { EXPECT_EQ(pipe2(fds_, O_NONBLOCK), 0); }
  ~Capture() {
    close(fds_[0]);
    close(fds_[1]);
  }
  int fd() const { return fds_[1]; }
  std::string Drain() {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, n);
    return out;
  }

 private:
  int fds_[2];
};

TEST(RegistryTest, HandlesCountUpFromOneAndAreNeverReused) {
  Registry r;
  EXPECT_EQ(r.Register("t", MakeThing()), 1);
  EXPECT_EQ(r.Register("t", MakeThing()), 2);
  EXPECT_EQ(r.Register("t", std::shared_ptr<Thing>()), kNoHandle);
  r.IncRef(2);
  r.DecRef(2);
  EXPECT_EQ(r.Register("t", MakeThing()), 3);
  EXPECT_EQ(r.NumHandles(), 2);
}

TEST(RegistryTest, LookupAnswersNilUnknownWrongKindOrTheObject) {
  Registry r;
  auto thing = MakeThing("a");
  Handle h = r.Register("t", thing);
  EXPECT_EQ(r.VarFromHandleTry<Thing>(0).status, LookupStatus::kNil);
  EXPECT_EQ(r.VarFromHandleTry<Thing>(-1).status, LookupStatus::kNil);
  EXPECT_EQ(r.VarFromHandleTry<Thing>(h + 1).status, LookupStatus::kNotRegistered);
  EXPECT_EQ(r.VarFromHandleTry<Other>(h).status, LookupStatus::kWrongKind);
  auto found = r.VarFromHandleTry<const Thing>(h);
  ASSERT_TRUE(found.found());
  EXPECT_EQ(found.object.get(), thing.get());
  EXPECT_EQ(LookupMessage(LookupStatus::kNil, 0), "tova: nil handle");
  EXPECT_EQ(LookupMessage(LookupStatus::kNotRegistered, 42),
            "tova: variable handle not registered: 42");
}

TEST(RegistryTest, SameObjectTwiceGivesIndependentEntries) {
  Registry r;
  auto thing = MakeThing();
  Handle a = r.Register("t", thing), b = r.Register("t", thing);
  ASSERT_NE(a, b);
  r.IncRef(a);
  r.DecRef(a);
  EXPECT_FALSE(r.VarFromHandleTry<Thing>(a).found());
  EXPECT_EQ(r.VarFromHandleTry<Thing>(b).object.get(), thing.get());
}

TEST(RegistryTest, CountsRemoveAtZeroAndReleaseTheObject) {
  Registry r;
  std::weak_ptr<Thing> weak;
  Handle h;
  {
    auto thing = MakeThing();
    weak = thing;
    h = r.Register("t", thing);
  }
  r.IncRef(h);
  r.IncRef(h);
  r.DecRef(h);
  EXPECT_TRUE(r.VarFromHandleTry<Thing>(h).found());
  r.DecRef(h);
  EXPECT_FALSE(r.VarFromHandleTry<Thing>(h).found());
  EXPECT_TRUE(weak.expired());
  r.IncRef(h);  // a removed handle stays dead
  EXPECT_EQ(r.NumHandles(), 0);
}

TEST(RegistryTest, UnpairedDecRefIsReportedAndKeepsTheEntry) {
  Capture breach;
  Registry r(-1, breach.fd());
  Handle h = r.Register("t", MakeThing("a\nb"));
  r.DecRef(h);
  EXPECT_EQ(breach.Drain(),
            "tova DecRef ref count -1 for handle: 1, ifc Thing{a\\nb}\n");
  // The count stayed at 0, so one IncRef/DecRef pair removes the entry.
  r.IncRef(h);
  r.DecRef(h);
  EXPECT_EQ(r.NumHandles(), 0);
}

TEST(RegistryTest, TraceLinesFollowEachChange) {
  Capture trace;
  Registry r(trace.fd());
  Handle h = r.Register("[]string", MakeThing("s"));
  r.Register("t", std::shared_ptr<Thing>());  // no object: no line
  r.IncRef(h);
  r.IncRef(h);
  r.DecRef(h);
  r.DecRef(h);
  r.IncRef(h);  // gone: no line
  r.VarFromHandleTry<Thing>(h);
  EXPECT_EQ(trace.Drain(),
            "tova Registered: []string Thing{s} 1\n"
            "tova IncRef: 1: 1\n"
            "tova IncRef: 1: 2\n"
            "tova DecRef: 1: 1\n"
            "tova DecRef: 1\n");
}

TEST(RegistryTest, EmptiedRunsOfHandlesLeaveTheirNeighboursIntact) {
  Registry r;
  std::vector<std::shared_ptr<Thing>> things;
  for (int i = 0; i < 300; ++i) {
    things.push_back(MakeThing(std::to_string(i)));
    ASSERT_EQ(r.Register("t", things.back()), i + 1);
  }
  // Release a long run in the middle, and every handle one at a time in a
  // churn after it, across several runs of consecutive handles.
  for (Handle h = 50; h <= 250; ++h) {
    r.IncRef(h);
    r.DecRef(h);
  }
  for (int i = 0; i < 500; ++i) {
    Handle h = r.Register("t", MakeThing());
    ASSERT_EQ(h, 301 + i);
    r.IncRef(h);
    r.DecRef(h);
  }
  EXPECT_EQ(r.NumHandles(), 300 - 201);
  for (Handle h = 1; h <= 800; ++h) {
    auto found = r.VarFromHandleTry<Thing>(h);
    const bool live = h < 50 || (h > 250 && h <= 300);
    EXPECT_EQ(found.found(), live) << "handle " << h;
    if (live) {
      EXPECT_EQ(found.object, things[h - 1]);
    }
  }
  EXPECT_EQ(r.Register("t", MakeThing()), 801);
}

TEST(RegistryTest, ConcurrentUseKeepsHandlesUniqueAndCountsExact) {
  Registry r;
  constexpr int kThreads = 8, kPerThread = 4000;
  auto shared = MakeThing("shared");
  Handle shared_handle = r.Register("t", shared);
  r.IncRef(shared_handle);
  std::vector<std::vector<Handle>> kept(kThreads);
  std::atomic<int> lookups_failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < kPerThread; ++i) {
        Handle h = r.Register("t", MakeThing());
        r.IncRef(h);
        r.IncRef(shared_handle);
        if (!r.VarFromHandleTry<Thing>(h).found()) ++lookups_failed;
        if (r.VarFromHandleTry<Thing>(shared_handle).object != shared) ++lookups_failed;
        r.DecRef(shared_handle);
        if (rng() % 2) {
          r.DecRef(h);
        } else {
          kept[t].push_back(h);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(lookups_failed.load(), 0);
  std::set<Handle> all;
  size_t kept_total = 0;
  for (auto& v : kept) {
    kept_total += v.size();
    all.insert(v.begin(), v.end());
  }
  EXPECT_EQ(all.size(), kept_total);  // no handle issued twice
  EXPECT_EQ(r.NumHandles(), static_cast<int64_t>(kept_total) + 1);
  for (Handle h : all) r.DecRef(h);
  r.DecRef(shared_handle);
  EXPECT_EQ(r.NumHandles(), 0);
  EXPECT_EQ(r.Register("t", MakeThing()), 1 + kThreads * kPerThread + 1);
}

}  // namespace
}  // namespace handles
