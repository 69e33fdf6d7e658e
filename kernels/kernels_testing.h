// Test support for the kernels' tests: running a check under every supported
// instruction set, random maps of every shape, and buffers that catch reads
// and writes outside themselves.  Used only by *_test.cc.
#ifndef ALPHABET_KERNELS_KERNELS_TESTING_H_
#define ALPHABET_KERNELS_KERNELS_TESTING_H_

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/isa.h"

namespace kernels::testing {

// Runs check() once per supported set, that set active and named in any
// failure, then makes the best set active again.
template <class Check>
void ForEachIsa(Check check) {
  for (const Isa isa : Supported()) {
    SCOPED_TRACE(IsaName(isa));
    EXPECT_TRUE(SetActive(isa));
    check(isa);
  }
  SetActive(Best());
}

using Images = std::array<int32_t, 256>;

// The shapes of map that the kernels treat differently.
enum class MapShape {
  kRandom,      // 0 to 256 valid bytes anywhere, random images
  kAllValid,    // 256 valid bytes: nothing refused, no marker needed
  kLowOnly,     // valid bytes all below 0x80
  kHighToo,     // valid bytes on both sides of 0x80
  kNearlyFull,  // a permutation of all 256 images minus 1 to 3 bytes: one to
                // three free markers, rarely 0xFF
  kFewLetters,  // a handful of letters, as an alphabet of symbols maps text
  kSmallCodes,  // codes 0..size-1 to letters, as decoding maps them
};

inline constexpr MapShape kAllShapes[] = {
    MapShape::kRandom,     MapShape::kAllValid,   MapShape::kLowOnly,   MapShape::kHighToo,
    MapShape::kNearlyFull, MapShape::kFewLetters, MapShape::kSmallCodes};

inline Images RandomImages(std::mt19937_64& rng, MapShape shape) {
  Images images;
  images.fill(-1);
  auto byte = [&] { return static_cast<int32_t>(rng() % 256); };
  switch (shape) {
    case MapShape::kRandom: {
      const size_t valid = rng() % 257;
      std::array<int32_t, 256> order;
      std::iota(order.begin(), order.end(), 0);
      std::shuffle(order.begin(), order.end(), rng);
      for (size_t i = 0; i < valid; ++i) images[order[i]] = byte();
      // Entries outside 0..255 other than -1 mean "no image" too.
      if (valid < 256) images[order[valid]] = rng() % 2 ? 256 : -7;
      break;
    }
    case MapShape::kAllValid:
      for (int32_t& image : images) image = byte();
      break;
    case MapShape::kLowOnly:
      for (int b = 0; b < 0x80; ++b) {
        if (rng() % 3 == 0) images[b] = byte();
      }
      break;
    case MapShape::kHighToo:
      for (int32_t& image : images) {
        if (rng() % 2 == 0) image = byte();
      }
      images[0x80 + rng() % 0x80] = byte();
      images[rng() % 0x80] = byte();
      break;
    case MapShape::kNearlyFull: {
      std::iota(images.begin(), images.end(), 0);
      std::shuffle(images.begin(), images.end(), rng);
      const int refused = 1 + static_cast<int>(rng() % 3);
      for (int i = 0; i < refused; ++i) images[rng() % 256] = -1;
      break;
    }
    case MapShape::kFewLetters: {
      const char* letters = "ACGTNacgtnRYKMSWBDHV";
      const size_t count = 1 + rng() % 20;
      for (size_t i = 0; i < count; ++i) {
        images[static_cast<uint8_t>(letters[i])] = static_cast<int32_t>(i % 5);
      }
      break;
    }
    case MapShape::kSmallCodes: {
      const size_t size = 1 + rng() % 40;
      for (size_t code = 0; code < size; ++code) images[code] = 'A' + static_cast<int32_t>(code);
      break;
    }
  }
  return images;
}

inline bool HasImage(const Images& images, size_t byte) {
  return byte < 256 && images[byte] >= 0 && images[byte] <= 255;
}

// n bytes, mostly with an image under `images` when it has any (so that runs
// are long enough to reach the vector loops), some drawn from all 256.
inline std::vector<uint8_t> RandomInput(std::mt19937_64& rng, const Images& images, size_t n) {
  std::vector<uint8_t> valid;
  for (int b = 0; b < 256; ++b) {
    if (HasImage(images, b)) valid.push_back(static_cast<uint8_t>(b));
  }
  std::vector<uint8_t> input(n);
  for (uint8_t& b : input) {
    b = !valid.empty() && rng() % 64 != 0 ? valid[rng() % valid.size()]
                                          : static_cast<uint8_t>(rng() % 256);
  }
  return input;
}

// Where a test puts one refused element in an input of n, for n > 0: the
// first, middle and last positions, in the tail that follows the last full
// vector of each width, and anywhere.
inline std::vector<size_t> RefusalPositions(std::mt19937_64& rng, size_t n) {
  std::vector<size_t> at = {0, n / 2, n - 1, rng() % n};
  for (size_t width : {16, 32, 64}) {
    const size_t tail = n % width;
    if (tail != 0) at.push_back(n - 1 - rng() % tail);
  }
  return at;
}

// `count` elements of T lying at the very end of readable memory, or at its
// very start, with an inaccessible page on either side: a kernel that reads
// or writes one element too far, in either direction, faults.
enum class Placement { kAgainstEnd, kAgainstStart };

template <class T>
class FencedBuffer {
 public:
  FencedBuffer(size_t count, Placement placement) : count_(count) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t bytes = count * sizeof(T);
    const size_t inner = (bytes + page_ - 1) / page_ * page_ + page_;
    mapped_ = inner + 2 * page_;
    void* base = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(base, MAP_FAILED);
    base_ = static_cast<uint8_t*>(base);
    EXPECT_EQ(mprotect(base_ + page_, inner, PROT_READ | PROT_WRITE), 0);
    uint8_t* readable = base_ + page_;
    data_ = reinterpret_cast<T*>(placement == Placement::kAgainstStart ? readable
                                                                       : readable + inner - bytes);
  }
  FencedBuffer(const FencedBuffer&) = delete;
  FencedBuffer& operator=(const FencedBuffer&) = delete;
  ~FencedBuffer() { munmap(base_, mapped_); }

  T* data() { return data_; }
  size_t size() const { return count_; }

 private:
  size_t count_;
  size_t page_;
  size_t mapped_;
  uint8_t* base_;
  T* data_;
};

// A buffer of `count` elements starting `offset` bytes past a 64-byte
// boundary, with canary bytes around it that a kernel must leave alone.
template <class T>
class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 128;
  static constexpr uint8_t kCanary = 0xA5;

  GuardedBuffer(size_t count, size_t offset_elements)
      : count_(count),
        start_(kGuard + offset_elements * sizeof(T)),
        bytes_(start_ + count * sizeof(T) + kGuard + 64) {
    // Align the storage's start to 64 bytes by skipping into it.
    const auto address = reinterpret_cast<uintptr_t>(bytes_.data());
    start_ += (64 - address % 64) % 64;
    std::fill(bytes_.begin(), bytes_.end(), kCanary);
  }

  T* data() { return reinterpret_cast<T*>(bytes_.data() + start_); }
  size_t size() const { return count_; }
  std::vector<T> Values() const {
    std::vector<T> values(count_);
    if (count_ != 0) std::memcpy(values.data(), bytes_.data() + start_, count_ * sizeof(T));
    return values;
  }
  // No byte outside the elements has changed.
  bool Intact() const {
    const size_t end = start_ + count_ * sizeof(T);
    for (size_t i = 0; i < bytes_.size(); ++i) {
      if ((i < start_ || i >= end) && bytes_[i] != kCanary) return false;
    }
    return true;
  }

 private:
  size_t count_;
  size_t start_;
  std::vector<uint8_t> bytes_;
};

}  // namespace kernels::testing

#endif  // ALPHABET_KERNELS_KERNELS_TESTING_H_
