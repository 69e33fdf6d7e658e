// The instruction sets the bulk kernels are written for, and the one process-
// wide choice among them.
//
// Every kernel exists once in portable C++ (kScalar, the kernel that defines
// the right answer and the only one on machines other than x86-64) and once
// per x86 instruction set below.  A set is used only after the running CPU
// and the operating system have been found to support it (the OS must save
// the wide registers), so a build for baseline x86-64 runs on any x86-64 CPU.
//
// The active set starts as Best() on first use.  Tests and benchmarks switch
// it with SetActive(); reading and switching are safe from any thread (an
// atomic), and a kernel call already running finishes with the set it
// started with.  Every set gives the same results, so switching changes
// speed only.
#ifndef ALPHABET_KERNELS_ISA_H_
#define ALPHABET_KERNELS_ISA_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kernels {

// In order of preference: a later set is expected to be faster.
enum class Isa : uint8_t {
  kScalar,      // portable C++
  kSsse3,       // 16-byte vectors with pshufb
  kSse41,       // as kSsse3, with ptest
  kAvx2,        // 32-byte vectors
  kAvx512Vbmi,  // 64-byte vectors, AVX-512 F, BW and VBMI (vpermb, vpermi2b)
};

inline constexpr Isa kAllIsas[] = {Isa::kScalar, Isa::kSsse3, Isa::kSse41, Isa::kAvx2,
                                   Isa::kAvx512Vbmi};

// "scalar", "ssse3", "sse4.1", "avx2", "avx512vbmi": a static string.
const char* IsaName(Isa isa);

// The set IsaName() names, if any.
std::optional<Isa> IsaFromName(std::string_view name);

// The sets this build and machine can run, in the order of kAllIsas; always
// starts with kScalar.  Found once; the span stays valid for the process.
std::span<const Isa> Supported();

bool IsSupported(Isa isa);

// The last of Supported().
Isa Best();

// The set the kernels use now.
Isa Active();

// Makes `isa` the active set and returns true, or returns false and changes
// nothing when it is not supported.
bool SetActive(Isa isa);

}  // namespace kernels

#endif  // ALPHABET_KERNELS_ISA_H_
