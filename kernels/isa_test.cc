#include "kernels/isa.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace alphabet::kernels {
namespace {

TEST(IsaTest, SupportedStartsWithScalarInOrderOfPreference) {
  const auto sets = Supported();
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.front(), Isa::kScalar);
  for (size_t i = 1; i < sets.size(); ++i) EXPECT_LT(sets[i - 1], sets[i]);
  EXPECT_EQ(Best(), sets.back());
  for (const Isa isa : kAllIsas) {
    EXPECT_EQ(IsSupported(isa), std::find(sets.begin(), sets.end(), isa) != sets.end());
  }
#if !defined(__x86_64__)
  EXPECT_EQ(sets.size(), 1u);
#endif
}

TEST(IsaTest, NamesAreDistinctAndReadBack) {
  for (const Isa isa : kAllIsas) {
    EXPECT_EQ(IsaFromName(IsaName(isa)), isa);
  }
  EXPECT_EQ(IsaFromName("avx"), std::nullopt);
  EXPECT_EQ(IsaFromName(""), std::nullopt);
}

TEST(IsaTest, SetActiveSwitchesOnlyToSupportedSets) {
  EXPECT_EQ(Active(), Best());
  for (const Isa isa : kAllIsas) {
    const Isa before = Active();
    EXPECT_EQ(SetActive(isa), IsSupported(isa));
    EXPECT_EQ(Active(), IsSupported(isa) ? isa : before);
  }
  SetActive(Best());
}

#if defined(__x86_64__)
// The run-time check reads the CPU's feature bits itself; the compiler's own
// check must agree with it (both also consult the operating system).
TEST(IsaTest, DetectionAgreesWithTheCompilersCheck) {
  __builtin_cpu_init();
  EXPECT_EQ(IsSupported(Isa::kSsse3), __builtin_cpu_supports("ssse3") != 0);
  EXPECT_EQ(IsSupported(Isa::kSse41), __builtin_cpu_supports("sse4.1") != 0);
  EXPECT_EQ(IsSupported(Isa::kAvx2), __builtin_cpu_supports("avx2") != 0);
  EXPECT_EQ(IsSupported(Isa::kAvx512Vbmi),
            __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi"));
}
#endif

// Readers see one of the sets written, never anything else (run under the
// thread sanitizer by the reliability stages).
TEST(IsaTest, SwitchingWhileOtherThreadsReadIsSafe) {
  std::atomic<bool> stop{false};
  std::atomic<int> unsupported{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) unsupported += !IsSupported(Active());
    });
  }
  for (int i = 0; i < 20000; ++i) SetActive(Supported()[i % Supported().size()]);
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(unsupported.load(), 0);
  SetActive(Best());
}

}  // namespace
}  // namespace alphabet::kernels
