#include "kernels/kmers.h"

#include <bit>
#include <cstdint>
#include <limits>
#include <utility>

#include "kernels/text.h"

namespace kernels {
namespace {

// Each k-mer follows from the one before it in a few operations, but that
// makes one long chain of dependent steps: a step waits for the one before
// it (a multiplication and an addition, 4 cycles or more).  So the k-mers
// are cut into kLanes stretches, each rolled on its own from a k-mer
// computed directly; the processor overlaps the lanes' steps.
constexpr size_t kLanes = 4;
// Below this many k-mers per lane the k codes of each lane's first k-mer
// would cost more than the lanes save.
constexpr size_t kMinPerLane = 64;

uint64_t KmerAt(const uint8_t* codes, size_t k, uint64_t base) {
  uint64_t kmer = 0;
  for (size_t j = 0; j < k; ++j) kmer = kmer * base + codes[j];
  return kmer;
}

// A power-of-two base 2^shift: shift the codes in and let the ones that fell
// out of the window stay above it until they leave the word; `window` masks
// them off on the way out.  One shift and one OR per step in the chain.
struct ShiftStep {
  int shift;
  uint64_t window;
  uint64_t Next(uint64_t rolled, uint8_t /*leaving*/, uint8_t entering) const {
    return (rolled << shift) | entering;
  }
  uint64_t Out(uint64_t rolled) const { return rolled & window; }
  uint64_t Start(const uint8_t* codes, size_t k) const {
    return KmerAt(codes, k, uint64_t{1} << shift);
  }
};

// Any other base: next = kmer * base - leaving * base^k + entering, all
// modulo 2^64 (base^k itself may be 2^64, i.e. 0); only the multiplication by
// base and one addition are in the chain.
struct MultiplyStep {
  uint64_t base;
  uint64_t top;  // base^k modulo 2^64
  uint64_t Next(uint64_t kmer, uint8_t leaving, uint8_t entering) const {
    return kmer * base + (entering - leaving * top);
  }
  uint64_t Out(uint64_t kmer) const { return kmer; }
  uint64_t Start(const uint8_t* codes, size_t k) const { return KmerAt(codes, k, base); }
};

// The lanes' steps are spelled out (a fold over the lane numbers) so that
// each lane's k-mer stays in a register.
template <class Step, size_t... kLane>
void RollLanes(const uint8_t* codes, size_t per_lane, size_t k, uint64_t* out, const Step& step,
               std::index_sequence<kLane...>) {
  uint64_t rolled[] = {step.Start(codes + kLane * per_lane, k)...};
  ((out[kLane * per_lane] = step.Out(rolled[kLane])), ...);
  for (size_t i = 1; i < per_lane; ++i) {
    ((rolled[kLane] = step.Next(rolled[kLane], codes[kLane * per_lane + i - 1],
                                codes[kLane * per_lane + i + k - 1]),
      out[kLane * per_lane + i] = step.Out(rolled[kLane])),
     ...);
  }
}

template <class Step>
void Roll(const uint8_t* codes, size_t count, size_t k, uint64_t* out, const Step& step) {
  const size_t per_lane = count / kLanes;
  size_t done = 0;
  if (per_lane >= kMinPerLane) {
    RollLanes(codes, per_lane, k, out, step, std::make_index_sequence<kLanes>());
    done = kLanes * per_lane;
  }
  // What the lanes left: all of it when short, else the last count % kLanes.
  if (done == count) return;
  uint64_t kmer = step.Start(codes + done, k);
  out[done] = step.Out(kmer);
  for (size_t at = done + 1; at < count; ++at) {
    kmer = step.Next(kmer, codes[at - 1], codes[at + k - 1]);
    out[at] = step.Out(kmer);
  }
}

}  // namespace

size_t MaxKmerLength(uint64_t base) {
  if (base <= 1) return std::numeric_limits<size_t>::max();
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();  // 2^64 - 1
  size_t k = 0;
  uint64_t power = 1;  // base^k
  while (power <= kMax / base) {
    power *= base;
    ++k;
  }
  // base^(k+1) > 2^64 - 1, and it is 2^64 itself for some powers of two.
  const bool reaches_2_64 =
      std::has_single_bit(base) && power == uint64_t{1} << (64 - std::countr_zero(base));
  return reaches_2_64 ? k + 1 : k;
}

size_t KmerCount(size_t n, size_t k) { return k == 0 || k > n ? 0 : n - k + 1; }

size_t Kmers(const uint8_t* codes, size_t n, size_t k, uint64_t base, uint64_t* out) {
  if (base < 256) {
    const size_t refused = FirstAtLeast(codes, n, static_cast<uint8_t>(base));
    if (refused < n) return refused;
  }
  const size_t count = KmerCount(n, k);
  if (count == 0) return n;
  if (std::has_single_bit(base)) {
    const int shift = std::countr_zero(base);
    const uint64_t bits = static_cast<uint64_t>(shift) * k;
    const uint64_t window = bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    Roll(codes, count, k, out, ShiftStep{shift, window});
  } else {
    uint64_t top = 1;
    for (size_t j = 0; j < k; ++j) top *= base;
    Roll(codes, count, k, out, MultiplyStep{base, top});
  }
  return n;
}

}  // namespace kernels
