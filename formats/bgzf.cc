#include "formats/bgzf.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "formats/inflate.h"

namespace formats {
namespace {

constexpr uint8_t kGzipMagic0 = 0x1f;
constexpr uint8_t kGzipMagic1 = 0x8b;
constexpr uint8_t kDeflateMethod = 8;
constexpr uint8_t kExtraFlag = 0x04;
// Flags of optional header fields (header CRC, name, comment, and the
// reserved ones) that a BGZF block does not have.
constexpr uint8_t kOtherFlags = 0xfa;
// The fixed part of a gzip header, before the extra field.
constexpr size_t kFixedHeader = 12;
constexpr size_t kFooter = 8;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}
void PutLe64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// Eight tables for the CRC of eight bytes at a time.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xedb88320u ^ (c >> 1) : c >> 1;
    tables[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n) {
    for (size_t t = 1; t < 8; ++t) {
      const uint32_t previous = tables[t - 1][n];
      tables[t][n] = (previous >> 8) ^ tables[0][previous & 0xff];
    }
  }
  return tables;
}
constexpr CrcTables kCrcTables = MakeCrcTables();

}  // namespace

Compression CompressionOf(std::span<const uint8_t> head) {
  if (head.size() < 2 || head[0] != kGzipMagic0 || head[1] != kGzipMagic1) {
    return Compression::kNone;
  }
  BgzfBlock block;
  size_t needed = 0;
  const BlockFault fault = ParseBlock(head, block, needed);
  // The header alone tells: a first block larger than `head` is fine.
  const bool bgzf =
      fault == BlockFault::kNone ||
      (fault == BlockFault::kShort && head.size() >= kBgzfHeaderSize && needed > kBgzfHeaderSize);
  return bgzf ? Compression::kBgzf : Compression::kGzip;
}

BlockFault ParseBlock(std::span<const uint8_t> bytes, BgzfBlock& block, size_t& needed) {
  needed = kFixedHeader;
  if (bytes.size() < kFixedHeader) {
    const uint8_t magic[] = {kGzipMagic0, kGzipMagic1, kDeflateMethod};
    const size_t known = std::min(bytes.size(), sizeof magic);
    return std::memcmp(bytes.data(), magic, known) == 0 ? BlockFault::kShort : BlockFault::kNotBgzf;
  }
  const uint8_t* p = bytes.data();
  if (p[0] != kGzipMagic0 || p[1] != kGzipMagic1 || p[2] != kDeflateMethod ||
      (p[3] & kExtraFlag) == 0 || (p[3] & kOtherFlags) != 0) {
    return BlockFault::kNotBgzf;
  }
  const size_t extra = Le16(p + 10);
  needed = kFixedHeader + extra;
  if (bytes.size() < needed) return BlockFault::kShort;
  size_t size = 0;
  for (size_t at = kFixedHeader; at + 4 <= kFixedHeader + extra;) {
    const size_t length = Le16(p + at + 2);
    if (p[at] == 'B' && p[at + 1] == 'C' && length == 2 && at + 6 <= kFixedHeader + extra) {
      size = size_t{Le16(p + at + 4)} + 1;
      break;
    }
    at += 4 + length;
  }
  if (size == 0) return BlockFault::kNotBgzf;
  if (size < kFixedHeader + extra + kFooter) return BlockFault::kMalformed;
  needed = size;
  if (bytes.size() < size) return BlockFault::kShort;
  block.size = size;
  block.deflated = bytes.subspan(kFixedHeader + extra, size - kFixedHeader - extra - kFooter);
  block.crc = Le32(p + size - kFooter);
  block.uncompressed = Le32(p + size - 4);
  if (block.uncompressed > kBgzfMaxBlock) return BlockFault::kMalformed;
  return BlockFault::kNone;
}

int64_t InflateBlock(const BgzfBlock& block, uint8_t* out, size_t wanted, std::string& error) {
  const size_t room = block.uncompressed;
  // A block wanted whole is decoded to its end, so that its end is checked.
  const InflateResult result = Inflate(block.deflated, std::span<uint8_t>(out, kBgzfMaxBlock),
                                       wanted >= room ? SIZE_MAX : wanted);
  switch (result.status) {
    case InflateStatus::kEnded:
      if (result.written != room) {
        error = "a block holds " + std::to_string(result.written) + " bytes, its header says " +
                std::to_string(room);
        return -1;
      }
      return static_cast<int64_t>(result.written);
    case InflateStatus::kStopped:
      if (result.written > room) {
        error = "a block holds more bytes than its header says (" + std::to_string(room) + ")";
        return -1;
      }
      return static_cast<int64_t>(result.written);
    default: error = InflateStatusText(result.status); return -1;
  }
}

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  const uint8_t* p = bytes.data();
  size_t n = bytes.size();
  crc = ~crc;
  while (n >= 8) {
    const uint32_t low = crc ^ Le32(p);
    const uint32_t high = Le32(p + 4);
    crc = kCrcTables[7][low & 0xff] ^ kCrcTables[6][(low >> 8) & 0xff] ^
          kCrcTables[5][(low >> 16) & 0xff] ^ kCrcTables[4][low >> 24] ^
          kCrcTables[3][high & 0xff] ^ kCrcTables[2][(high >> 8) & 0xff] ^
          kCrcTables[1][(high >> 16) & 0xff] ^ kCrcTables[0][high >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = kCrcTables[0][(crc ^ *p++) & 0xff] ^ (crc >> 8);
  return ~crc;
}

bool ParseGzi(std::span<const uint8_t> bytes, std::vector<GziEntry>& entries, std::string& error) {
  entries.clear();
  if (bytes.size() < 8) {
    error = "a .gzi index starts with its count of entries (8 bytes); this one has " +
            std::to_string(bytes.size()) + " bytes";
    return false;
  }
  const uint64_t count = Le64(bytes.data());
  if (count != (bytes.size() - 8) / 16 || (bytes.size() - 8) % 16 != 0) {
    error = "a .gzi index of " + std::to_string(count) + " entries takes " +
            (count < (uint64_t{1} << 59) ? std::to_string(8 + 16 * count) : "more") +
            " bytes; this one has " + std::to_string(bytes.size());
    return false;
  }
  entries.reserve(static_cast<size_t>(count));
  GziEntry last{0, 0};
  for (size_t i = 0; i < count; ++i) {
    const GziEntry entry{Le64(bytes.data() + 8 + 16 * i), Le64(bytes.data() + 16 + 16 * i)};
    if (entry.compressed <= last.compressed || entry.uncompressed <= last.uncompressed) {
      error = "the offsets of .gzi entry " + std::to_string(i + 1) + " do not rise";
      return false;
    }
    entries.push_back(entry);
    last = entry;
  }
  return true;
}

std::string FormatGzi(std::span<const GziEntry> entries) {
  std::string out;
  out.reserve(8 + 16 * entries.size());
  PutLe64(out, entries.size());
  for (const GziEntry& entry : entries) {
    PutLe64(out, entry.compressed);
    PutLe64(out, entry.uncompressed);
  }
  return out;
}

}  // namespace formats
