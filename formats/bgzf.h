// BGZF, the blocked gzip of genome tools, and its index (.gzi).
//
// A BGZF file is a series of gzip members ("blocks"), each holding at most
// 64 KiB both compressed and uncompressed, whose gzip header carries the
// block's compressed size in an extra subfield ('B', 'C').  A reader that
// knows where a block starts can decode it alone; the .gzi lists, for every
// block that holds data except the first, the file offset where it starts
// and the offset of its first byte in the uncompressed data.
//
// The .gzi, as genome tools write it: a little-endian uint64 count, then
// that many pairs of little-endian uint64 (compressed offset, uncompressed
// offset).  The block at (0, 0) is implied and not listed, nor is any block
// that holds no data (such as the empty block that ends a file).
//
// Plain C++, no state: everything here may be called from any thread.
#ifndef ALPHABET_FORMATS_BGZF_H_
#define ALPHABET_FORMATS_BGZF_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace formats {

// The most a block holds, compressed or not.
inline constexpr size_t kBgzfMaxBlock = 65536;
// Bytes of a block header with only the 'BC' subfield.
inline constexpr size_t kBgzfHeaderSize = 18;

enum class Compression : uint8_t { kNone, kBgzf, kGzip };

// What a file whose first bytes are `head` is: gzip by its magic number,
// BGZF when its first member has the BGZF header.  `head` should hold the
// first kBgzfHeaderSize bytes (fewer only when the file is shorter).
Compression CompressionOf(std::span<const uint8_t> head);

// One block, as found at the start of some bytes.
struct BgzfBlock {
  size_t size = 0;                    // the whole block, header to footer
  std::span<const uint8_t> deflated;  // the raw DEFLATE stream inside
  uint32_t crc = 0;                   // CRC-32 of the uncompressed data
  uint32_t uncompressed = 0;          // its size (ISIZE)
};

enum class BlockFault : uint8_t {
  kNone,
  kShort,      // `bytes` end before the block does: `needed` says how many it takes
  kNotBgzf,    // no gzip member with the BGZF subfield starts here
  kMalformed,  // sizes that contradict each other or the format's limits
};

// Reads the block at the start of `bytes`.  On kShort, `needed` is the
// number of bytes the block (or, before its size is known, its header)
// takes.
BlockFault ParseBlock(std::span<const uint8_t> bytes, BgzfBlock& block, size_t& needed);

// Decodes `block` whole into `out` (room for kBgzfMaxBlock bytes), or only
// until at least `wanted` bytes have come out; the bytes written, or -1
// with `error` set when the block does not decode, or, decoded whole, does
// not come to its stated size.  The checksum is the caller's to check
// (Crc32): worth it when a file is read through once, not for each lookup.
int64_t InflateBlock(const BgzfBlock& block, uint8_t* out, size_t wanted, std::string& error);

// CRC-32 (the gzip polynomial) of `bytes`, continuing from `crc`.
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

struct GziEntry {
  uint64_t compressed;
  uint64_t uncompressed;
  bool operator==(const GziEntry&) const = default;
};

// The entries of a .gzi, as the file holds them (without the implied
// first); false with `error` set when `bytes` are not a .gzi or the offsets
// do not rise.
bool ParseGzi(std::span<const uint8_t> bytes, std::vector<GziEntry>& entries, std::string& error);

// The .gzi file of `entries`.
std::string FormatGzi(std::span<const GziEntry> entries);

// Collects the .gzi of a file whose blocks are given in order.
class GziBuilder {
 public:
  // The next block starts at file offset `compressed` and holds
  // `uncompressed` bytes.
  void Add(uint64_t compressed, uint32_t uncompressed) {
    if (uncompressed != 0 && total_ != 0) entries_.push_back({compressed, total_});
    total_ += uncompressed;
  }
  const std::vector<GziEntry>& entries() const { return entries_; }
  std::vector<GziEntry>& entries() { return entries_; }
  uint64_t total() const { return total_; }

 private:
  std::vector<GziEntry> entries_;
  uint64_t total_ = 0;
};

}  // namespace formats

#endif  // ALPHABET_FORMATS_BGZF_H_
