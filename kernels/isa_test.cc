#include "kernels/isa.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace kernels {
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

}  // namespace
}  // namespace kernels
