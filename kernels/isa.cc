#include "kernels/isa.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace kernels {
namespace {

#if defined(__x86_64__)

// XCR0, the register state the operating system saves on a context switch.
// Read only after cpuid has reported OSXSAVE: without it xgetbv faults.
uint64_t SavedRegisterState() {
  uint32_t eax, edx;
  __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (uint64_t{edx} << 32) | eax;
}

std::vector<Isa> DetectX86(std::vector<Isa> sets) {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return sets;
  const bool ssse3 = ecx & (1u << 9);
  const bool sse41 = ecx & (1u << 19);
  const bool osxsave = ecx & (1u << 27);
  const bool avx = ecx & (1u << 28);
  if (ssse3) sets.push_back(Isa::kSsse3);
  if (ssse3 && sse41) sets.push_back(Isa::kSse41);
  if (!osxsave || !avx || !sse41) return sets;

  // The OS must save the SSE and AVX halves (bits 1, 2) for any VEX code, and
  // the opmask and upper ZMM state (bits 5, 6, 7) for AVX-512.
  const uint64_t state = SavedRegisterState();
  const bool os_avx = (state & 0x6) == 0x6;
  const bool os_avx512 = os_avx && (state & 0xE0) == 0xE0;
  if (!os_avx || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return sets;
  const bool avx2 = ebx & (1u << 5);
  const bool avx512f = ebx & (1u << 16);
  const bool avx512bw = ebx & (1u << 30);
  const bool avx512vl = ebx & (1u << 31);
  const bool avx512vbmi = ecx & (1u << 1);
  if (avx2) sets.push_back(Isa::kAvx2);
  if (avx2 && os_avx512 && avx512f && avx512bw && avx512vl && avx512vbmi) {
    sets.push_back(Isa::kAvx512Vbmi);
  }
  return sets;
}

#endif

std::vector<Isa> Detect() {
  std::vector<Isa> sets = {Isa::kScalar};
#if defined(__x86_64__)
  sets = DetectX86(std::move(sets));
#endif
  return sets;
}

constexpr int kUnset = -1;
std::atomic<int> active{kUnset};

}  // namespace

const char* IsaName(Isa isa) {
  switch (isa) {
    case Isa::kScalar: return "scalar";
    case Isa::kSsse3: return "ssse3";
    case Isa::kSse41: return "sse4.1";
    case Isa::kAvx2: return "avx2";
    case Isa::kAvx512Vbmi: return "avx512vbmi";
  }
  return "unknown";
}

std::optional<Isa> IsaFromName(std::string_view name) {
  for (Isa isa : kAllIsas) {
    if (name == IsaName(isa)) return isa;
  }
  return std::nullopt;
}

std::span<const Isa> Supported() {
  static const std::vector<Isa> sets = Detect();
  return sets;
}

bool IsSupported(Isa isa) {
  const std::span<const Isa> sets = Supported();
  return std::find(sets.begin(), sets.end(), isa) != sets.end();
}

Isa Best() { return Supported().back(); }

Isa Active() {
  int isa = active.load(std::memory_order_relaxed);
  if (isa == kUnset) {
    // A SetActive() racing with the first use wins: only kUnset is replaced.
    int expected = kUnset;
    active.compare_exchange_strong(expected, static_cast<int>(Best()), std::memory_order_relaxed);
    isa = active.load(std::memory_order_relaxed);
  }
  return static_cast<Isa>(isa);
}

bool SetActive(Isa isa) {
  if (!IsSupported(isa)) return false;
  active.store(static_cast<int>(isa), std::memory_order_relaxed);
  return true;
}

}  // namespace kernels
