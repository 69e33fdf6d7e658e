// ByteMap: what each byte value stands for under one translation, such as
// text byte -> code (encoding), code -> symbol byte (decoding) or code ->
// complementary code.  Each of the 256 byte values either has an image (a
// byte) or has none, and then a kernel meeting it reports its position.
//
// Built once, from a table of 256 entries, and immutable afterwards: any
// number of threads may use one map at once.  Besides the images it keeps the
// forms the vector kernels read (below), computed when it is built, so a
// kernel call prepares nothing.  About 600 bytes, copyable, and with no
// alignment beyond an int's, so it may live inside any allocation (the
// kernels load it unaligned).
#ifndef ALPHABET_KERNELS_BYTE_MAP_H_
#define ALPHABET_KERNELS_BYTE_MAP_H_

#include <cstdint>
#include <span>

namespace kernels {

class ByteMap {
 public:
  static constexpr int32_t kNoImage = -1;

  // images[b] is the image of byte value b; any entry outside 0..255 (such as
  // kNoImage) gives b no image.
  explicit ByteMap(std::span<const int32_t, 256> images);

  // The image of `byte`, or kNoImage.
  int32_t Image(uint8_t byte) const {
    return all_valid_ || table_[byte] != marker_ ? table_[byte] : kNoImage;
  }
  bool Valid(uint8_t byte) const { return Image(byte) != kNoImage; }

  // How many byte values have an image.
  int valid_count() const { return valid_count_; }

  // ---- The forms the kernels read

  // Every byte value has an image, so no input can be refused.
  bool all_valid() const { return all_valid_; }

  // A byte that is no valid byte's image; 0 when all_valid().  (When some
  // byte has no image at most 255 images are in use, so one is always free.)
  uint8_t marker() const { return marker_; }

  // 256 bytes: the image of each byte, marker() for a byte without one.
  const uint8_t* table() const { return table_; }

  // Every byte with an image is below 0x80, so a byte with the top bit set
  // needs no lookup: it is refused.
  bool valid_below_0x80() const { return valid_below_0x80_; }

  // For the 16-entry lookups of SSSE3 and AVX2, the table cut into rows by
  // the high half of the byte.  The row of high half h holds, at low half l,
  // image ^ marker() for the byte h*16 + l, or 0 without an image; only the
  // rows holding some valid byte need a lookup, so that XOR-ing marker() into
  // the sum of the rows that match gives the image or, for a refused byte,
  // marker() itself.
  const uint8_t* row(int high_half) const { return rows_[high_half]; }
  // The high halves whose rows hold a valid byte, ascending.
  std::span<const uint8_t> active_rows() const { return {active_rows_, num_active_rows_}; }

 private:
  uint8_t table_[256];
  uint8_t rows_[16][16];
  uint8_t active_rows_[16] = {};
  uint8_t num_active_rows_ = 0;
  uint8_t marker_ = 0;
  bool all_valid_ = false;
  bool valid_below_0x80_ = true;
  int valid_count_ = 0;
};

// WideByteMap: byte -> 16-bit code, for alphabets of more than 256 symbols
// whose one-byte symbols encode to codes above 255.  Same contract as
// ByteMap: built once, immutable, shareable between threads.
class WideByteMap {
 public:
  static constexpr int32_t kNoImage = -1;

  // images[b] is the code of byte value b; any entry outside 0..65535 gives b
  // no image.
  explicit WideByteMap(std::span<const int32_t, 256> images);

  int32_t Image(uint8_t byte) const {
    return entries_[byte] > 0xFFFF ? kNoImage : static_cast<int32_t>(entries_[byte]);
  }

  // The image in the low 16 bits, kRefused set for a byte without one.
  static constexpr uint32_t kRefused = uint32_t{1} << 16;
  const uint32_t* entries() const { return entries_; }

 private:
  uint32_t entries_[256];
};

}  // namespace kernels

#endif  // ALPHABET_KERNELS_BYTE_MAP_H_
