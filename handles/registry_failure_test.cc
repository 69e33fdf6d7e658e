// The registry when memory runs out: every allocation a call makes is made
// to fail in turn, through a replacement of the global allocation functions
// that fails every allocation of the arming thread from the Nth on.  A
// registration must then either succeed or throw std::bad_alloc and leave
// everything as it was, its handle not used up; a count change must never
// fail.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handles/registry.h"

namespace {

// Allocations the arming thread may still make; below zero, no limit.
thread_local long allocations_left = -1;

void* Allocate(size_t size) {
  if (allocations_left == 0) throw std::bad_alloc();
  if (allocations_left > 0) --allocations_left;
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void* AllocateOrNull(size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }

namespace probe {

struct Thing {
  std::string name;
};
std::string Describe(const Thing& t) { return "Thing{" + t.name + "}"; }

}  // namespace probe

namespace handles {
namespace {

using probe::Thing;

// While alive, the current thread's allocations fail from the `allowed`+1th on.
class FailingAllocations {
 public:
  explicit FailingAllocations(long allowed) { allocations_left = allowed; }
  ~FailingAllocations() { allocations_left = -1; }
};

class Fixture {
 public:
  explicit Fixture(bool tracing)
      : null_(open("/dev/null", O_WRONLY)), registry_(tracing ? null_ : -1, null_) {}
  ~Fixture() { close(null_); }

  // Registers one more object, first failing at every allocation in turn
  // until the registration gets through; each failure is checked.
  Handle RegisterUnderFailures() {
    const Handle expected = static_cast<Handle>(live_.size() + removed_) + 1;
    auto thing = std::make_shared<Thing>(Thing{"#" + std::to_string(expected)});
    for (long allowed = 0; allowed < 100; ++allowed) {
      Handle h = kNoHandle;
      bool failed = false;
      {
        FailingAllocations failing(allowed);
        try {
          h = registry_.Register("t", thing);
        } catch (const std::bad_alloc&) {
          failed = true;
        }
      }
      if (!failed) {
        EXPECT_EQ(h, expected);
        live_.push_back(std::move(thing));
        return h;
      }
      SCOPED_TRACE("registration failed after " + std::to_string(allowed) + " allocations");
      EXPECT_EQ(thing.use_count(), 1);  // no reference kept
      ExpectUnchanged(expected);
      if (testing::Test::HasFailure()) return kNoHandle;
    }
    ADD_FAILURE() << "registration never got through";
    return kNoHandle;
  }

  // Removes the first live handle with every allocation failing.
  void RemoveUnderFailures() {
    const Handle h = static_cast<Handle>(removed_) + 1;
    {
      FailingAllocations failing(0);
      registry_.IncRef(h);
      registry_.DecRef(h);
    }
    live_.erase(live_.begin());
    ++removed_;
    ExpectUnchanged(static_cast<Handle>(live_.size() + removed_) + 1);
  }

  // Every live handle still names its object, the one not yet issued names
  // nothing, and the count agrees.
  void ExpectUnchanged(Handle next) {
    ASSERT_EQ(registry_.NumHandles(), static_cast<int64_t>(live_.size()));
    ASSERT_FALSE(registry_.VarFromHandleTry<Thing>(next).found());
    for (size_t i = 0; i < live_.size(); ++i) {
      const Handle h = static_cast<Handle>(removed_ + i) + 1;
      ASSERT_EQ(registry_.VarFromHandleTry<Thing>(h).object, live_[i]) << "handle " << h;
    }
  }

  Registry& registry() { return registry_; }

 private:
  int null_;
  Registry registry_;
  std::vector<std::shared_ptr<Thing>> live_;  // handles removed_+1, removed_+2, ...
  size_t removed_ = 0;
};

class RegistryFailureTest : public testing::TestWithParam<bool> {};

// Past several pages (arrays growing, pages completing and trimmed) and
// enough of them that the page index grows too.
TEST_P(RegistryFailureTest, FailedRegistrationsLeaveNothingBehind) {
  Fixture f(GetParam());
  for (int i = 0; i < 64 * 12; ++i) {
    f.RegisterUnderFailures();
    if (testing::Test::HasFailure()) return;
  }
}

// Removals shrink page arrays and free pages, none of which may fail; then
// registration goes on onto the emptied pages' successors.
TEST_P(RegistryFailureTest, RemovalsNeverFailAndRegistrationsGoOn) {
  Fixture f(GetParam());
  for (int i = 0; i < 64 * 3; ++i) f.RegisterUnderFailures();
  for (int i = 0; i < 64 * 2 + 10; ++i) {
    f.RemoveUnderFailures();
    if (testing::Test::HasFailure()) return;
  }
  for (int i = 0; i < 70; ++i) f.RegisterUnderFailures();
}

INSTANTIATE_TEST_SUITE_P(TraceOnAndOff, RegistryFailureTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Tracing" : "Quiet");
                         });

// A breach line that cannot be built at all is replaced by a fixed one;
// with a little memory the bounded line comes out whole.
TEST(RegistryFailureTest, BreachLineWithoutMemoryIsAFixedLine) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
  Registry r(-1, fds[1]);
  const Handle h = r.Register("t", std::make_shared<Thing>(Thing{std::string(1 << 20, 'x')}));
  std::string lines[2];
  for (long allowed : {0L, 10L}) {
    {
      FailingAllocations failing(allowed);
      r.DecRef(h);
    }
    char buffer[1024];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    lines[allowed == 0 ? 0 : 1].assign(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(lines[0], "tova DecRef ref count -1 for handle: 1, ifc (not rendered)\n");
  EXPECT_TRUE(lines[1].starts_with("tova DecRef ref count -1 for handle: 1, ifc Thing{xxx"))
      << lines[1];
  EXPECT_TRUE(lines[1].ends_with("...\n")) << lines[1];
  EXPECT_EQ(r.NumHandles(), 1);
}

}  // namespace
}  // namespace handles
