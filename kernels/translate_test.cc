#include "kernels/translate.h"

#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "kernels/byte_map.h"
#include "kernels/isa.h"
#include "kernels/kernels_testing.h"

namespace kernels {
namespace {

using testing::FencedBuffer;
using testing::ForEachIsa;
using testing::GuardedBuffer;
using testing::HasImage;
using testing::Images;
using testing::kAllShapes;
using testing::MapShape;
using testing::Placement;
using testing::RandomImages;
using testing::RandomInput;
using testing::RefusalPositions;

// Every length up to two of the widest vectors and more, then a few long ones.
std::vector<size_t> Lengths(std::mt19937_64& rng) {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 130; ++n) lengths.push_back(n);
  for (int i = 0; i < 3; ++i) lengths.push_back(131 + rng() % 3000);
  return lengths;
}

// The code a T stands for, or -1 outside [0, 256).
template <class T>
int CodeOf(T value) {
  if constexpr (std::is_signed_v<T>) {
    if (value < 0) return -1;
  }
  return static_cast<uint64_t>(value) > 255 ? -1 : static_cast<int>(value);
}

// What a checked translation must give: where it stops and the images
// before that, in input order.
struct Expected {
  size_t stop;
  std::vector<uint8_t> images;
};

template <class T>
Expected Reference(const Images& images, const std::vector<T>& input) {
  Expected expected{input.size(), {}};
  for (size_t i = 0; i < input.size(); ++i) {
    const int code = CodeOf(input[i]);
    if (code < 0 || !HasImage(images, code)) {
      expected.stop = i;
      break;
    }
    expected.images.push_back(static_cast<uint8_t>(images[code]));
  }
  return expected;
}

// The input as it is, and with one refused element (`refused` holds the
// candidates) at each of the positions that matter.
template <class T>
std::vector<std::vector<T>> WithRefusals(std::mt19937_64& rng, const std::vector<T>& input,
                                         const std::vector<T>& refused) {
  std::vector<std::vector<T>> inputs = {input};
  if (input.empty() || refused.empty()) return inputs;
  for (size_t at : RefusalPositions(rng, input.size())) {
    inputs.push_back(input);
    inputs.back()[at] = refused[rng() % refused.size()];
  }
  return inputs;
}

std::vector<uint8_t> RefusedBytes(const Images& images) {
  std::vector<uint8_t> refused;
  for (int b = 0; b < 256; ++b) {
    if (!HasImage(images, b)) refused.push_back(static_cast<uint8_t>(b));
  }
  return refused;
}

// Runs `translate` on `input` under every set from unaligned starts and
// compares with the reference; `reversed` for ReverseTranslateChecked.
template <class T, class Translate>
void CheckAgainstReference(std::mt19937_64& rng, const Images& images, const std::vector<T>& input,
                           bool reversed, Translate translate) {
  const Expected expected = Reference(images, input);
  const size_t n = input.size();
  ForEachIsa([&](Isa) {
    GuardedBuffer<T> in(n, rng() % 64);
    GuardedBuffer<uint8_t> out(n, rng() % 64);
    if (n != 0) std::copy(input.begin(), input.end(), in.data());
    ASSERT_EQ(translate(in.data(), out.data(), n), expected.stop) << "n = " << n;
    const std::vector<uint8_t> written = out.Values();
    for (size_t i = 0; i < expected.stop; ++i) {
      ASSERT_EQ(written[reversed ? n - 1 - i : i], expected.images[i]) << "input " << i;
    }
    EXPECT_TRUE(in.Intact() && out.Intact()) << "n = " << n;
    EXPECT_EQ(in.Values(), input);
  });
}

TEST(TranslateTest, EveryIsaAgreesWithTheReferenceOnEveryShapeOfMap) {
  std::mt19937_64 rng(1);
  for (const MapShape shape : kAllShapes) {
    for (int round = 0; round < 4; ++round) {
      const Images images = RandomImages(rng, shape);
      const ByteMap map(images);
      for (const size_t n : Lengths(rng)) {
        for (const auto& input :
             WithRefusals(rng, RandomInput(rng, images, n), RefusedBytes(images))) {
          CheckAgainstReference(rng, images, input, false,
                                [&](const uint8_t* in, uint8_t* out, size_t size) {
                                  return TranslateChecked(in, out, size, map);
                                });
          CheckAgainstReference(rng, images, input, true,
                                [&](const uint8_t* in, uint8_t* out, size_t size) {
                                  return ReverseTranslateChecked(in, out, size, map);
                                });
        }
      }
    }
  }
}

// Encoding a bytearray where it lies: a refused block must still be read as
// it was, not as the images of its first bytes.
TEST(TranslateTest, TranslatesInPlace) {
  std::mt19937_64 rng(2);
  for (const MapShape shape : kAllShapes) {
    const Images images = RandomImages(rng, shape);
    const ByteMap map(images);
    for (const size_t n : Lengths(rng)) {
      for (const auto& input :
           WithRefusals(rng, RandomInput(rng, images, n), RefusedBytes(images))) {
        const Expected expected = Reference(images, input);
        ForEachIsa([&](Isa) {
          std::vector<uint8_t> data = input;
          ASSERT_EQ(TranslateChecked(data.data(), data.data(), n, map), expected.stop);
          EXPECT_TRUE(std::equal(expected.images.begin(), expected.images.end(), data.begin()));
        });
      }
    }
  }
}

template <class T>
class TranslateWideTest : public ::testing::Test {};
using CodeTypes = ::testing::Types<int8_t, int16_t, int32_t, int64_t, uint16_t, uint32_t, uint64_t>;
TYPED_TEST_SUITE(TranslateWideTest, CodeTypes);

// Codes that narrowing could mistake for valid ones: a valid code plus 256
// (whose low byte is valid), -1 and other negatives whose low byte is valid,
// and the extremes of T.
template <class T>
std::vector<T> RefusedCodes(const Images& images) {
  using Limits = std::numeric_limits<T>;
  std::vector<T> refused;
  for (int code = 0; code < 256; ++code) {
    if (!HasImage(images, code)) continue;
    if constexpr (sizeof(T) > 1) {
      refused.push_back(static_cast<T>(code + 256));
      refused.push_back(static_cast<T>(code | (T{1} << (8 * sizeof(T) - 1))));
    }
    if constexpr (std::is_signed_v<T>) refused.push_back(static_cast<T>(code - 256));
  }
  refused.push_back(Limits::max());
  if constexpr (std::is_signed_v<T>) refused.push_back(Limits::min());
  for (int code = 0; code < 256; ++code) {
    if (!HasImage(images, code) && static_cast<uint64_t>(code) <= uint64_t{Limits::max()}) {
      refused.push_back(static_cast<T>(code));
    }
  }
  return refused;
}

TYPED_TEST(TranslateWideTest, EveryIsaAgreesWithTheReference) {
  using T = TypeParam;
  std::mt19937_64 rng(3 + sizeof(T));
  for (const MapShape shape : kAllShapes) {
    for (int round = 0; round < 2; ++round) {
      const Images images = RandomImages(rng, shape);
      const ByteMap map(images);
      const std::vector<T> refused = RefusedCodes<T>(images);
      for (const size_t n : Lengths(rng)) {
        const std::vector<uint8_t> bytes = RandomInput(rng, images, n);
        std::vector<T> codes(bytes.size());
        for (size_t i = 0; i < n; ++i) {
          // Bytes from 0x80 up become negative int8 codes, refused.
          codes[i] = static_cast<T>(bytes[i]);
        }
        for (const auto& input : WithRefusals(rng, codes, refused)) {
          CheckAgainstReference(rng, images, input, false,
                                [&](const T* in, uint8_t* out, size_t size) {
                                  return TranslateWideChecked(in, out, size, map);
                                });
        }
      }
    }
  }
}

TEST(EncodeWideTest, AgreesWithTheReference) {
  std::mt19937_64 rng(4);
  for (int round = 0; round < 50; ++round) {
    std::array<int32_t, 256> images;
    for (int32_t& image : images) {
      const uint64_t pick = rng() % 4;
      image = pick == 0 ? -1 : pick == 1 ? 0x10000 : static_cast<int32_t>(rng() % 0x10000);
    }
    const WideByteMap map(images);
    std::vector<uint8_t> input(rng() % 200);
    for (uint8_t& b : input) b = static_cast<uint8_t>(rng() % 256);
    std::vector<uint16_t> out(input.size());
    const size_t stop = EncodeWide(input.data(), out.data(), input.size(), map);
    size_t expected = input.size();
    for (size_t i = 0; i < input.size(); ++i) {
      if (images[input[i]] < 0 || images[input[i]] > 0xFFFF) {
        expected = i;
        break;
      }
      ASSERT_EQ(out[i], images[input[i]]);
    }
    ASSERT_EQ(stop, expected);
  }
}

TEST(ByteMapTest, KeepsEveryImageAndAMarkerNoValidByteMapsTo) {
  std::mt19937_64 rng(5);
  for (const MapShape shape : kAllShapes) {
    for (int round = 0; round < 20; ++round) {
      const Images images = RandomImages(rng, shape);
      const ByteMap map(images);
      int valid = 0;
      bool high = false;
      for (int b = 0; b < 256; ++b) {
        const bool has = HasImage(images, b);
        valid += has;
        high |= has && b >= 0x80;
        ASSERT_EQ(map.Image(static_cast<uint8_t>(b)), has ? images[b] : ByteMap::kNoImage);
        if (has && !map.all_valid()) {
          ASSERT_NE(map.table()[b], map.marker());
        }
      }
      EXPECT_EQ(map.valid_count(), valid);
      EXPECT_EQ(map.all_valid(), valid == 256);
      EXPECT_EQ(map.valid_below_0x80(), !high);
    }
  }
}

// A map may live inside any allocation, such as a Python object: the kernels
// must not expect its tables on a vector boundary.
TEST(TranslateTest, AMapAwayFromAVectorBoundaryWorks) {
  std::mt19937_64 rng(7);
  const Images images = RandomImages(rng, MapShape::kHighToo);
  static_assert(alignof(ByteMap) <= 4);
  alignas(64) unsigned char storage[sizeof(ByteMap) + 64];
  const ByteMap* map = new (storage + 4) ByteMap(images);
  const std::vector<uint8_t> input = RandomInput(rng, images, 1000);
  const Expected expected = Reference(images, input);
  ForEachIsa([&](Isa) {
    std::vector<uint8_t> out(input.size());
    ASSERT_EQ(TranslateChecked(input.data(), out.data(), input.size(), *map), expected.stop);
    EXPECT_TRUE(std::equal(expected.images.begin(), expected.images.end(), out.begin()));
  });
  map->~ByteMap();
}

// Reads and writes stop exactly at the ends of the buffers: each buffer lies
// against an inaccessible page, so one byte too far faults.
TEST(TranslateTest, NoKernelTouchesMemoryPastItsBuffers) {
  std::mt19937_64 rng(6);
  const Images images = RandomImages(rng, MapShape::kRandom);
  const ByteMap map(images);
  ForEachIsa([&](Isa) {
    for (size_t n = 0; n <= 200; ++n) {
      for (const auto placement : {Placement::kAgainstEnd, Placement::kAgainstStart}) {
        FencedBuffer<uint8_t> in(n, placement), out(n, placement);
        const std::vector<uint8_t> input = RandomInput(rng, images, n);
        std::copy(input.begin(), input.end(), in.data());
        EXPECT_EQ(TranslateChecked(in.data(), out.data(), n, map), Reference(images, input).stop);
        EXPECT_EQ(ReverseTranslateChecked(in.data(), out.data(), n, map),
                  Reference(images, input).stop);
        FencedBuffer<uint16_t> in16(n, placement);
        FencedBuffer<uint32_t> in32(n, placement);
        FencedBuffer<uint64_t> in64(n, placement);
        std::copy(input.begin(), input.end(), in16.data());
        std::copy(input.begin(), input.end(), in32.data());
        std::copy(input.begin(), input.end(), in64.data());
        const size_t stop = Reference(images, input).stop;
        EXPECT_EQ(TranslateWideChecked(in16.data(), out.data(), n, map), stop);
        EXPECT_EQ(TranslateWideChecked(in32.data(), out.data(), n, map), stop);
        EXPECT_EQ(TranslateWideChecked(in64.data(), out.data(), n, map), stop);
      }
    }
  });
}

}  // namespace
}  // namespace kernels
