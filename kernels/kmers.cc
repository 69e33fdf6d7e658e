#include "kernels/kmers.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

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

// The k-mer of the reverse complement of codes[0, k): the complement of the
// last code is its most significant digit.
uint64_t ReverseKmerAt(const uint8_t* codes, size_t k, uint64_t base, const uint8_t* complement) {
  uint64_t kmer = 0;
  for (size_t j = k; j-- > 0;) kmer = kmer * base + complement[codes[j]];
  return kmer;
}

// A power-of-two base 2^shift: shift the codes in and let the ones that fell
// out of the window stay above it until they leave the word; `window` masks
// them off on the way out.  One shift and one OR per step in the chain.
struct ShiftStep {
  using State = uint64_t;
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
  using State = uint64_t;
  uint64_t base;
  uint64_t top;  // base^k modulo 2^64
  uint64_t Next(uint64_t kmer, uint8_t leaving, uint8_t entering) const {
    return kmer * base + (entering - leaving * top);
  }
  uint64_t Out(uint64_t kmer) const { return kmer; }
  uint64_t Start(const uint8_t* codes, size_t k) const { return KmerAt(codes, k, base); }
};

// The k-mer and the k-mer of its reverse complement, rolled together: the
// complement of the entering code becomes the reverse one's most
// significant digit, while the complement of the leaving code, its least
// significant, drops out.
struct CanonicalState {
  uint64_t forward;
  uint64_t reverse;
};

// Power-of-two bases: the reverse k-mer shifts right.
struct CanonicalShiftStep {
  using State = CanonicalState;
  int shift;
  uint64_t window;
  int top_shift;  // shift * (k - 1)
  const uint8_t* complement;
  State Next(State s, uint8_t /*leaving*/, uint8_t entering) const {
    return {(s.forward << shift) | entering,
            (s.reverse >> shift) | uint64_t{complement[entering]} << top_shift};
  }
  uint64_t Out(State s) const { return std::min(s.forward & window, s.reverse); }
  State Start(const uint8_t* codes, size_t k) const {
    return {KmerAt(codes, k, uint64_t{1} << shift),
            ReverseKmerAt(codes, k, uint64_t{1} << shift, complement)};
  }
};

// The same where each code's complement is the code with its bits flipped
// (A C G T: 0 1 2 3 against 3 2 1 0): no table load in the chain.
struct CanonicalFlipStep {
  using State = CanonicalState;
  int shift;
  uint64_t window;
  int top_shift;
  uint8_t flip;  // base - 1
  State Next(State s, uint8_t /*leaving*/, uint8_t entering) const {
    return {(s.forward << shift) | entering,
            (s.reverse >> shift) | uint64_t{static_cast<uint8_t>(entering ^ flip)} << top_shift};
  }
  uint64_t Out(State s) const { return std::min(s.forward & window, s.reverse); }
  State Start(const uint8_t* codes, size_t k) const {
    uint64_t forward = 0, reverse = 0;
    for (size_t j = 0; j < k; ++j) forward = forward << shift | codes[j];
    for (size_t j = k; j-- > 0;) reverse = reverse << shift | (codes[j] ^ flip);
    return {forward, reverse};
  }
};

// Other bases: the reverse k-mer less its last digit is a multiple of the
// base, and divides exactly: a shift by the base's factors of two, then a
// multiplication by the inverse of its odd part modulo 2^64.  base^k is below
// 2^64 here, so nothing wraps.
struct CanonicalMultiplyStep {
  using State = CanonicalState;
  uint64_t base;
  uint64_t top;      // base^k
  uint64_t lead;     // base^(k-1)
  int twos;          // factors of two in base
  uint64_t inverse;  // of base >> twos, modulo 2^64
  const uint8_t* complement;
  State Next(State s, uint8_t leaving, uint8_t entering) const {
    const uint64_t shorter = ((s.reverse - complement[leaving]) >> twos) * inverse;
    return {s.forward * base + (entering - leaving * top), shorter + complement[entering] * lead};
  }
  uint64_t Out(State s) const { return std::min(s.forward, s.reverse); }
  State Start(const uint8_t* codes, size_t k) const {
    return {KmerAt(codes, k, base), ReverseKmerAt(codes, k, base, complement)};
  }
};

// The inverse of an odd number modulo 2^64, by Newton's iteration: each step
// doubles the bits that are right, and x = odd is right to 3 bits.
uint64_t OddInverse(uint64_t odd) {
  uint64_t x = odd;
  for (int i = 0; i < 5; ++i) x *= 2 - odd * x;
  return x;
}

// The lanes' steps are spelled out (a fold over the lane numbers) so that
// each lane's k-mer stays in a register.
template <class Step, size_t... kLane>
void RollLanes(const uint8_t* codes, size_t per_lane, size_t k, uint64_t* out, const Step& step,
               std::index_sequence<kLane...>) {
  typename Step::State rolled[] = {step.Start(codes + kLane * per_lane, k)...};
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
  typename Step::State kmer = step.Start(codes + done, k);
  out[done] = step.Out(kmer);
  for (size_t at = done + 1; at < count; ++at) {
    kmer = step.Next(kmer, codes[at - 1], codes[at + k - 1]);
    out[at] = step.Out(kmer);
  }
}

// Checks every code, then rolls the k-mers with the step that
// `shift_step(shift, window)` makes for a power-of-two base and
// `multiply_step(base^(k-1))` for any other.  As Kmers.
template <class ShiftStepOf, class MultiplyStepOf>
size_t CheckAndRoll(const uint8_t* codes, size_t n, size_t k, uint64_t base, uint64_t* out,
                    ShiftStepOf shift_step, MultiplyStepOf multiply_step) {
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
    Roll(codes, count, k, out, shift_step(shift, window));
  } else {
    uint64_t lead = 1;
    for (size_t j = 0; j + 1 < k; ++j) lead *= base;
    Roll(codes, count, k, out, multiply_step(lead));
  }
  return n;
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

uint64_t MixKmer(uint64_t kmer) {
  kmer ^= kmer >> 31;
  kmer *= 0x7FB5D329728EA185;
  kmer ^= kmer >> 27;
  kmer *= 0x81DADEF4BC2DD44D;
  kmer ^= kmer >> 33;
  return kmer;
}

size_t Minimizers(const uint64_t* kmers, size_t count, size_t w, uint64_t first_position,
                  uint64_t& last, uint64_t* positions, uint64_t* values,
                  MinimizerScratch& scratch) {
  if (w == 0 || count < w) return 0;
  // Each window's minimum from two running minima over blocks of w k-mers:
  // a window that does not start a block ends inside the next one, and is
  // the suffix of its first block and the prefix of the second.  Among
  // equal hashes the leftmost wins: the suffix minima keep the left one on
  // a tie, the prefix minima the earlier one, and the suffix wins over the
  // prefix.
  scratch.hashes.resize(count);
  scratch.prefix.resize(count);
  scratch.suffix.resize(count);
  uint64_t* hashes = scratch.hashes.data();
  uint32_t* prefix = scratch.prefix.data();
  uint32_t* suffix = scratch.suffix.data();
  for (size_t i = 0; i < count; ++i) hashes[i] = MixKmer(kmers[i]);
  for (size_t block = 0; block < count; block += w) {
    const size_t end = std::min(count, block + w);
    prefix[block] = static_cast<uint32_t>(block);
    for (size_t i = block + 1; i < end; ++i) {
      prefix[i] = hashes[i] < hashes[prefix[i - 1]] ? static_cast<uint32_t>(i) : prefix[i - 1];
    }
    suffix[end - 1] = static_cast<uint32_t>(end - 1);
    for (size_t i = end - 1; i-- > block;) {
      suffix[i] = hashes[i] <= hashes[suffix[i + 1]] ? static_cast<uint32_t>(i) : suffix[i + 1];
    }
  }
  size_t found = 0;
  for (size_t start = 0; start + w <= count; ++start) {
    const uint32_t left = suffix[start], right = prefix[start + w - 1];
    const uint32_t least = hashes[left] <= hashes[right] ? left : right;
    const uint64_t position = first_position + least;
    if (position != last) {
      positions[found] = position;
      values[found] = kmers[least];
      ++found;
      last = position;
    }
  }
  return found;
}

size_t Kmers(const uint8_t* codes, size_t n, size_t k, uint64_t base, uint64_t* out) {
  return CheckAndRoll(
      codes, n, k, base, out, [](int shift, uint64_t window) { return ShiftStep{shift, window}; },
      [&](uint64_t lead) { return MultiplyStep{base, lead * base}; });
}

size_t CanonicalKmers(const uint8_t* codes, size_t n, size_t k, uint64_t base,
                      const uint8_t* complement, uint64_t* out) {
  const int twos = std::countr_zero(base);
  auto multiply_step = [&](uint64_t lead) {
    return CanonicalMultiplyStep{base,      lead * base, lead, twos, OddInverse(base >> twos),
                                 complement};
  };
  bool flips = std::has_single_bit(base);
  for (uint64_t code = 0; flips && code < base; ++code)
    flips = complement[code] == (code ^ (base - 1));
  if (flips) {
    return CheckAndRoll(
        codes, n, k, base, out,
        [&](int shift, uint64_t window) {
          return CanonicalFlipStep{shift, window, static_cast<int>(shift * (k - 1)),
                                   static_cast<uint8_t>(base - 1)};
        },
        multiply_step);
  }
  return CheckAndRoll(
      codes, n, k, base, out,
      [&](int shift, uint64_t window) {
        return CanonicalShiftStep{shift, window, static_cast<int>(shift * (k - 1)), complement};
      },
      multiply_step);
}

}  // namespace kernels
