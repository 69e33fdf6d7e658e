#include "handles/registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "handles/test_deadline.h"

namespace probe {

struct Thing {
  std::string name;
};
std::string Describe(const Thing& t) { return "Thing{" + t.name + "}"; }

struct Other {};
std::string Describe(const Other&) { return "Other{}"; }

// An object that cannot be described: memory runs out on the way.
struct Unprintable {};
std::string Describe(const Unprintable&) { throw std::bad_alloc(); }

}  // namespace probe

namespace handles {
namespace {

using probe::Other;
using probe::Thing;
using probe::Unprintable;
using std::chrono_literals::operator""s;

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
  EXPECT_EQ(breach.Drain(), "tova DecRef ref count -1 for handle: 1, ifc Thing{a\\nb}\n");
  // The count stayed at 0, so one IncRef/DecRef pair removes the entry.
  r.IncRef(h);
  r.DecRef(h);
  EXPECT_EQ(r.NumHandles(), 0);
}

// Full pages with holes and packed pages alike: a registry that goes
// releases exactly the objects it still held.
TEST(RegistryTest, DestroyingTheRegistryReleasesWhatItHeld) {
  std::vector<std::weak_ptr<Thing>> held, released;
  {
    Registry r;
    for (int i = 1; i <= 64 * 4; ++i) {
      auto thing = MakeThing();
      const Handle h = r.Register("t", thing);
      // Page 1 stays full but for two holes; page 2 keeps one in eight.
      const bool drop =
          (h / 64 == 1 && (h % 64 == 5 || h % 64 == 40)) || (h / 64 == 2 && h % 8 != 0);
      (drop ? released : held).push_back(thing);
      if (drop) {
        r.IncRef(h);
        r.DecRef(h);
      }
    }
    for (const auto& weak : released) EXPECT_TRUE(weak.expired());
    for (const auto& weak : held) EXPECT_FALSE(weak.expired());
  }
  for (const auto& weak : held) EXPECT_TRUE(weak.expired());
}

TEST(RegistryTest, BreachLineOfAHugeObjectIsBounded) {
  Capture breach;
  Registry r(-1, breach.fd());
  // Line breaks escape to two bytes each: the cut must count the escapes.
  Handle h = r.Register("t", MakeThing(std::string(8 << 20, 'x') + std::string(4096, '\n')));
  Handle lines = r.Register("t", MakeThing(std::string(8 << 20, '\n')));
  const std::string prefix = "tova DecRef ref count -1 for handle: ";
  for (Handle handle : {h, lines}) {
    r.DecRef(handle);
    const std::string line = breach.Drain();
    const std::string start = prefix + std::to_string(handle) + ", ifc Thing{";
    ASSERT_EQ(line.compare(0, start.size(), start), 0) << line.substr(0, 200);
    EXPECT_LE(line.size(), prefix.size() + 20 + 6 + kMaxShownBytes + 1);
    EXPECT_TRUE(line.ends_with("...\n")) << line.substr(line.size() - 20);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
  }
  EXPECT_EQ(r.NumHandles(), 2);
}

// The cut keeps whole escapes and whole UTF-8 characters, and only cuts when
// the escaped text does not fit.
TEST(RegistryTest, EscapedTextIsCutToTheLimitAtABoundary) {
  const std::string euro = "\xE2\x82\xAC";  // three bytes, one character
  struct Case {
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"", ""},
      {"abcdefghij", "abcdefghij"},            // exactly the limit
      {"abcdefghijk", "abcdefg..."},           // one over
      {"a\nb", "a\\nb"},                       // escaped, fits
      {"abcdefgh\n", "abcdefgh\\n"},           // the escape ends at the limit
      {"abcdefghi\n", "abcdefg..."},           // the escape would pass it
      {"abcdef\nxyz", "abcdef..."},            // the escape would straddle the cut
      {"\\\\\\\\\\", "\\\\\\\\\\\\\\\\\\\\"},  // five backslashes: ten bytes, fits
      {"abcde" + euro + "xyz", "abcde..."},    // the character would be split
      {"abcd" + euro + "wxyz", "abcd" + euro + "..."},
  };
  for (const Case& c : cases) {
    std::string out = "[";
    AppendEscaped(out, c.text, 10);
    EXPECT_EQ(out, "[" + c.expected) << "text " << c.text;
    EXPECT_LE(out.size(), 11u);
  }
}

TEST(RegistryTest, RegistrationThatCannotBeTracedRegistersNothing) {
  Capture trace;
  Registry r(trace.fd());
  Handle first = r.Register("t", MakeThing("a"));
  auto unprintable = std::make_shared<Unprintable>();
  EXPECT_THROW(r.Register("u", unprintable), std::bad_alloc);
  EXPECT_EQ(unprintable.use_count(), 1);  // the registry kept no reference
  EXPECT_EQ(r.NumHandles(), 1);
  EXPECT_FALSE(r.VarFromHandleTry<Unprintable>(first + 1).found());
  EXPECT_EQ(r.Register("t", MakeThing("b")), first + 1);  // no handle used up
  EXPECT_EQ(trace.Drain(), "tova Registered: t Thing{a} 1\ntova Registered: t Thing{b} 2\n");
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
  Deadline deadline(120s);
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

// A registry beside a model of what it must hold.  Check() looks every
// handle issued so far up (and a few beyond), and bounds the memory the
// registry keeps to what the live handles justify.
class Churn {
 public:
  Handle Add() {
    auto thing = MakeThing(std::to_string(next_));
    const Handle h = registry_.Register("t", thing);
    EXPECT_EQ(h, next_);
    live_[h] = std::move(thing);
    return next_++;
  }
  void Remove(Handle h) {
    registry_.IncRef(h);
    registry_.DecRef(h);
    live_.erase(h);
  }
  bool Live(Handle h) const { return live_.count(h) != 0; }
  const std::map<Handle, std::shared_ptr<Thing>>& live() const { return live_; }
  Handle next() const { return next_; }
  Registry::Footprint footprint() const { return registry_.MemoryFootprint(); }

  void Check(const std::string& when) {
    SCOPED_TRACE(when);
    ASSERT_EQ(registry_.NumHandles(), static_cast<int64_t>(live_.size()));
    for (Handle h = 1; h < next_ + 130; ++h) {
      auto found = registry_.VarFromHandleTry<Thing>(h);
      auto it = live_.find(h);
      ASSERT_EQ(found.found(), it != live_.end()) << "handle " << h;
      if (found.found()) {
        ASSERT_EQ(found.object, it->second) << "handle " << h;
      }
    }
    // Each page's array is less than four times its live entries, but for
    // the page still being issued into (a full page's worth, even empty);
    // no other page stays without live entries.
    const Registry::Footprint footprint = registry_.MemoryFootprint();
    const int64_t live = static_cast<int64_t>(live_.size());
    EXPECT_LE(footprint.entry_slots, 4 * live + 64);
    EXPECT_LE(footprint.pages, live + 1);
  }

 private:
  Registry registry_;
  std::map<Handle, std::shared_ptr<Thing>> live_;
  Handle next_ = 1;
};

struct ChurnScenario {
  const char* name;
  std::function<void(Churn&)> run;
};

void PrintTo(const ChurnScenario& scenario, std::ostream* os) { *os << scenario.name; }

class ChurnTest : public testing::TestWithParam<ChurnScenario> {};

TEST_P(ChurnTest, LookupsAndMemoryFollowTheLiveHandles) {
  Churn churn;
  GetParam().run(churn);
  // Whatever is left goes, in the end, and the registry empties.
  std::vector<Handle> left;
  for (const auto& [h, thing] : churn.live()) left.push_back(h);
  for (Handle h : left) churn.Remove(h);
  churn.Check("all removed");
  churn.Add();
  churn.Check("one more");
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, ChurnTest,
    testing::Values(ChurnScenario{"Dense",
                                  [](Churn& c) {
                                    for (int i = 0; i < 1000; ++i) c.Add();
                                    c.Check("1000 live");
                                    for (Handle h = 1; h <= 1000; ++h) {
                                      c.Remove(h);
                                      if (h % 61 == 0)
                                        c.Check("removed up to " + std::to_string(h));
                                    }
                                    c.Check("all removed in order");
                                  }},
                    ChurnScenario{"SparseOneIn64",
                                  [](Churn& c) {
                                    // The kept handle moves through the page, first to last.
                                    for (int page = 0; page < 70; ++page) {
                                      for (int i = 0; i < 64; ++i) {
                                        const Handle h = c.Add();
                                        if (h % 64 != page % 64) c.Remove(h);
                                      }
                                      if (page % 9 == 0) c.Check("page " + std::to_string(page));
                                    }
                                    c.Check("one in 64 live");
                                    // A page whose handles have all been issued holds
                                    // just its live entries.
                                    EXPECT_LE(c.footprint().entry_slots,
                                              static_cast<int64_t>(c.live().size()) + 64);
                                  }},
                    ChurnScenario{"MiddleOfEachPage",
                                  [](Churn& c) {
                                    for (int i = 0; i < 64 * 6; ++i) c.Add();
                                    for (Handle h = 1; h < c.next(); ++h) {
                                      if (h % 64 >= 20 && h % 64 < 44) c.Remove(h);
                                    }
                                    c.Check("middles removed");
                                    for (Handle h = 1; h < c.next(); ++h) {
                                      if (h % 64 == 10 || h % 64 == 50) c.Remove(h);
                                    }
                                    c.Check("two more from each page");
                                  }},
                    ChurnScenario{"WholePagesFreed",
                                  [](Churn& c) {
                                    for (int i = 0; i < 64 * 5; ++i) c.Add();
                                    // Pages 1 and 3 (handles 64..127 and 192..255) go whole,
                                    // in descending order so that each empties last at its start.
                                    for (Handle h = 255; h >= 192; --h) c.Remove(h);
                                    c.Check("page 3 freed");
                                    for (Handle h = 127; h >= 64; --h) c.Remove(h);
                                    c.Check("pages 1 and 3 freed");
                                    c.Add();
                                    c.Check("registration after freed pages");
                                  }},
                    ChurnScenario{"PagesShrinkAndTheCurrentOneRefills",
                                  [](Churn& c) {
                                    for (int i = 0; i < 63 + 40; ++i) c.Add();  // page 1 to 40 live
                                    for (Handle h = 64; h < 64 + 38; ++h) c.Remove(h);
                                    c.Check("page 1 down to 2 live");
                                    for (Handle h = 64 + 38; h < 64 + 40; ++h) c.Remove(h);
                                    c.Check("page 1 empty but not complete");
                                    while (c.next() < 64 * 3 + 5)
                                      c.Add();  // page 1 refills, page 2, ...
                                    c.Check("refilled");
                                    for (Handle h = 1; h < 64; ++h) c.Remove(h);  // page 0 goes
                                    // Completed pages thin out one handle at a time:
                                    // full pages turn packed, which shrink again.
                                    for (Handle h = 64; h < 64 * 3; ++h) {
                                      if (c.Live(h) && h % 8 != 0) c.Remove(h);
                                      if (h % 7 == 0) c.Check("shrinking at " + std::to_string(h));
                                    }
                                    c.Check("one in eight left");
                                    for (Handle h = 64; h < 64 * 3; ++h) {
                                      if (c.Live(h)) c.Remove(h);
                                    }
                                    c.Check("pages 1 and 2 freed");
                                  }},
                    ChurnScenario{"RandomChurn",
                                  [](Churn& c) {
                                    std::mt19937 rng(7);
                                    std::vector<Handle> live;
                                    for (int step = 0; step < 6000; ++step) {
                                      // Phases that favour registration, then removal.
                                      const bool grow = (step / 500) % 2 == 0;
                                      if (live.empty() || rng() % 10 < (grow ? 7u : 3u)) {
                                        live.push_back(c.Add());
                                      } else {
                                        std::swap(live[rng() % live.size()], live.back());
                                        c.Remove(live.back());
                                        live.pop_back();
                                      }
                                      if (step % 250 == 0) c.Check("step " + std::to_string(step));
                                    }
                                    c.Check("after random churn");
                                  }}),
    [](const testing::TestParamInfo<ChurnScenario>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace handles
