#include "formats/inflate.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace formats {
namespace {

// ---- Reading bits, least significant first

uint64_t Load64(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// A window of at least 56 bits of the input after each Refill.  Past the
// end of the input it reads zero bytes, and counts them, so that a stream
// cut short is told apart from one that ends exactly there.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> in)
      : begin_(in.data()), next_(in.data()), end_(in.data() + in.size()) {}

  // The bits above count_ in buffer_ are either zero or the input's own next
  // bits, so OR-ing the next word in again at count_ changes nothing there
  // (the refill of one load per call that fast decoders use).
  void Refill() {
    if (end_ - next_ >= 8) {
      buffer_ |= Load64(next_) << count_;
      next_ += (63 - count_) >> 3;
      count_ |= 56;
      return;
    }
    while (count_ <= 56) {
      uint64_t byte = 0;
      if (next_ < end_) {
        byte = *next_++;
      } else {
        ++past_end_;
      }
      buffer_ |= byte << count_;
      count_ += 8;
    }
  }

  uint32_t Peek(unsigned bits) const {
    return static_cast<uint32_t>(buffer_ & ((uint64_t{1} << bits) - 1));
  }
  void Drop(unsigned bits) {
    buffer_ >>= bits;
    count_ -= bits;
  }
  uint32_t Take(unsigned bits) {
    const uint32_t value = Peek(bits);
    Drop(bits);
    return value;
  }
  uint64_t buffer() const { return buffer_; }

  // The window as plain values, for the loop that keeps it in registers
  // (FastSymbols), and back.
  struct Window {
    const uint8_t* next;
    uint64_t buffer;
    unsigned count;
  };
  Window Save() const { return {next_, buffer_, count_}; }
  void Restore(const Window& window) {
    next_ = window.next;
    buffer_ = window.buffer;
    count_ = window.count;
  }
  const uint8_t* end() const { return end_; }

  // Whether more bits were taken than the input holds.
  bool Overran() const { return past_end_ * 8 > count_; }
  // Zero bytes read past the end so far (refills stop at a few).
  size_t past_end() const { return past_end_; }

  // The position of the next whole byte once the bits of the current byte
  // are dropped; the window is emptied, reading goes on from there.
  size_t AlignToByte() {
    Drop(count_ & 7);
    const size_t position =
        static_cast<size_t>(next_ - begin_) + past_end_ - static_cast<size_t>(count_ / 8);
    buffer_ = 0;
    count_ = 0;
    past_end_ = 0;
    next_ = begin_ + std::min(position, static_cast<size_t>(end_ - begin_));
    return position;
  }
  // The bytes at the byte position that AlignToByte returned.
  const uint8_t* at() const { return next_; }
  size_t left() const { return static_cast<size_t>(end_ - next_); }
  void Skip(size_t bytes) { next_ += bytes; }

  // Input bytes taken, the partial last one included.
  size_t Taken() const {
    const size_t bits = (static_cast<size_t>(next_ - begin_) + past_end_) * 8 - count_;
    return (bits + 7) / 8;
  }

 private:
  const uint8_t* begin_;
  const uint8_t* next_;
  const uint8_t* end_;
  uint64_t buffer_ = 0;
  unsigned count_ = 0;
  size_t past_end_ = 0;
};

void StoreLe32(uint8_t* p, uint32_t value) {
  if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
  std::memcpy(p, &value, sizeof value);
}

// ---- Decoding tables

// One entry of a decoding table: the bits the code takes, what kind of
// symbol it is and its value.  Lengths and distances keep their base value
// and the number of extra bits that follow the code.
struct Entry {
  uint16_t value;
  uint8_t bits;  // 0: no code of at most the table's bits reaches this entry
  uint8_t tag;   // kLiteral, kEnd, kLonger, kBad, or the extra bits of a length or distance
};
constexpr uint8_t kLiteral = 0x40;
constexpr uint8_t kEnd = 0x20;
constexpr uint8_t kLonger = 0x80;  // the code is longer than the table's bits
constexpr uint8_t kBad = 0x10;     // a symbol no stream may use (286, 287; 30, 31)

constexpr unsigned kMaxCodeBits = 15;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block gives the code lengths of the code
// length alphabet.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

enum class Alphabet { kLiteralLength, kDistance, kCodeLength };

Entry EntryOf(Alphabet alphabet, unsigned symbol, unsigned bits) {
  const auto width = static_cast<uint8_t>(bits);
  switch (alphabet) {
    case Alphabet::kLiteralLength:
      if (symbol < 256) return {static_cast<uint16_t>(symbol), width, kLiteral};
      if (symbol == 256) return {0, width, kEnd};
      if (symbol < 286) return {kLengthBase[symbol - 257], width, kLengthExtra[symbol - 257]};
      return {0, width, kBad};
    case Alphabet::kDistance:
      if (symbol < 30) return {kDistanceBase[symbol], width, kDistanceExtra[symbol]};
      return {0, width, kBad};
    case Alphabet::kCodeLength: break;
  }
  return {static_cast<uint16_t>(symbol), width, kLiteral};
}

// A canonical Huffman code: a table indexed by the next kBits bits of the
// input, and, for the rare codes longer than that, the counts and symbols
// that decode bit by bit.
template <unsigned kBits, unsigned kSymbols>
class Huffman {
 public:
  // False when the lengths over-subscribe the code.  A code that leaves
  // some bit patterns unused is accepted; a stream that uses one is then
  // refused when it does.
  bool Build(const uint8_t* lengths, unsigned n, Alphabet alphabet) {
    std::fill(std::begin(counts_), std::end(counts_), uint16_t{0});
    for (unsigned s = 0; s < n; ++s) ++counts_[lengths[s]];
    counts_[0] = 0;
    int left = 1;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
      left = left * 2 - counts_[bits];
      if (left < 0) return false;
    }
    uint16_t offsets[kMaxCodeBits + 2];
    offsets[1] = 0;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
      offsets[bits + 1] = static_cast<uint16_t>(offsets[bits] + counts_[bits]);
    }
    for (unsigned s = 0; s < n; ++s) {
      if (lengths[s] != 0) symbols_[offsets[lengths[s]]++] = static_cast<uint16_t>(s);
    }
    alphabet_ = alphabet;
    std::fill(std::begin(table_), std::end(table_), Entry{0, 0, kBad});
    // Canonical codes, in order of length then symbol; the table is indexed
    // by the code's bits as they come off the input, i.e. reversed.
    unsigned code = 0, index = 0;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
      for (unsigned i = 0; i < counts_[bits]; ++i, ++index, ++code) {
        unsigned reversed = 0;
        for (unsigned b = 0; b < bits; ++b) reversed |= ((code >> b) & 1u) << (bits - 1 - b);
        if (bits <= kBits) {
          const Entry entry = EntryOf(alphabet, symbols_[index], bits);
          for (unsigned slot = reversed; slot < (1u << kBits); slot += 1u << bits) {
            table_[slot] = entry;
          }
        } else {
          table_[reversed & ((1u << kBits) - 1)] = Entry{0, 0, kLonger};
        }
      }
      code <<= 1;
    }
    return true;
  }

  const Entry& Lookup(uint32_t bits) const { return table_[bits]; }

  // For each pattern of kBits bits, the literals it spells from its start,
  // up to four: the bytes in bits 0-31, the bits they take in 32-35, their
  // count in 36-38 (0 when the pattern starts with no literal), and each
  // one's code length in 40-55.  Text of few symbols, such as bases at about
  // two bits each, then decodes four at a time.  Built from the table, so
  // after Build.
  //
  // A pattern's run is its first literal followed by the run of the bits
  // after it, which a smaller pattern spells and which is built already;
  // that run was read with zeros where this pattern's bits end, so only the
  // literals whose codes end within them are kept.
  void BuildRuns() {
    for (uint32_t pattern = 0; pattern < (1u << kBits); ++pattern) {
      const Entry& first = table_[pattern];
      if (first.tag != kLiteral || first.bits == 0) {
        runs_[pattern] = 0;
        continue;
      }
      const uint32_t rest_pattern = pattern >> first.bits;
      const uint64_t rest = rest_pattern == pattern ? 0 : runs_[rest_pattern];
      const unsigned room = kBits - first.bits;
      uint64_t bytes = first.value, lengths = first.bits;
      unsigned used = first.bits, count = 1;
      for (unsigned k = 0; k < ((rest >> 36) & 7) && count < 4; ++k) {
        const auto length = static_cast<unsigned>((rest >> (40 + 4 * k)) & 15);
        if (used - first.bits + length > room) break;
        bytes |= ((rest >> (8 * k)) & 0xff) << (8 * count);
        lengths |= uint64_t{length} << (4 * count);
        used += length;
        ++count;
      }
      runs_[pattern] = bytes | (uint64_t{used} << 32) | (uint64_t{count} << 36) | (lengths << 40);
    }
  }
  uint64_t Run(uint32_t bits) const { return runs_[bits]; }

  // Decodes a code longer than kBits from the window (holding at least 15
  // bits), bit by bit; its entry, or one of 0 bits when no code matches.
  Entry DecodeLong(uint64_t window) const {
    int code = 0, first = 0, index = 0;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
      code |= static_cast<int>((window >> (bits - 1)) & 1);
      const int count = counts_[bits];
      if (code - first < count) return EntryOf(alphabet_, symbols_[index + code - first], bits);
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    return Entry{0, 0, kBad};
  }

 private:
  Entry table_[1u << kBits];
  uint64_t runs_[1u << kBits];
  uint16_t counts_[kMaxCodeBits + 1];
  uint16_t symbols_[kSymbols];
  Alphabet alphabet_ = Alphabet::kLiteralLength;
};

// Literal and length codes of up to 10 bits decode in one lookup, and so do
// runs of up to four literals within those bits.  A smaller table builds
// faster, which every block with codes of its own pays for; longer codes
// (rare bytes, rare lengths) decode bit by bit.
constexpr unsigned kLiteralBits = 10;
constexpr uint32_t kLiteralMask = (1u << kLiteralBits) - 1;
using LiteralLengthCode = Huffman<kLiteralBits, 288>;
using DistanceCode = Huffman<8, 32>;
using CodeLengthCode = Huffman<7, 19>;

// The next symbol of `code`: its entry with the code's bits dropped; an
// entry of 0 bits for a pattern no code has.  The window holds >= 15 bits.
template <class Code, unsigned kBits>
Entry NextSymbol(const Code& code, BitReader& reader) {
  Entry entry = code.Lookup(reader.Peek(kBits));
  if (entry.tag == kLonger) entry = code.DecodeLong(reader.buffer());
  reader.Drop(entry.bits);
  return entry;
}

struct Tables {
  LiteralLengthCode literals;
  DistanceCode distances;
};

// The codes of the fixed-Huffman blocks, built once.
const Tables& FixedTables() {
  static const Tables tables = [] {
    Tables made;
    uint8_t lengths[288];
    std::fill(lengths, lengths + 144, uint8_t{8});
    std::fill(lengths + 144, lengths + 256, uint8_t{9});
    std::fill(lengths + 256, lengths + 280, uint8_t{7});
    std::fill(lengths + 280, lengths + 288, uint8_t{8});
    made.literals.Build(lengths, 288, Alphabet::kLiteralLength);
    made.literals.BuildRuns();
    std::fill(lengths, lengths + 32, uint8_t{5});
    made.distances.Build(lengths, 32, Alphabet::kDistance);
    return made;
  }();
  return tables;
}

// Reads the codes of a dynamic block into `tables`; false when malformed.
bool ReadDynamicCodes(BitReader& reader, Tables& tables) {
  reader.Refill();
  const unsigned literal_count = reader.Take(5) + 257;
  const unsigned distance_count = reader.Take(5) + 1;
  const unsigned length_count = reader.Take(4) + 4;
  if (literal_count > 286 || distance_count > 30) return false;
  uint8_t code_lengths[19] = {};
  for (unsigned i = 0; i < length_count; ++i) {
    reader.Refill();
    code_lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(reader.Take(3));
  }
  CodeLengthCode length_code;
  if (!length_code.Build(code_lengths, 19, Alphabet::kCodeLength)) return false;
  uint8_t lengths[286 + 30] = {};
  const unsigned total = literal_count + distance_count;
  for (unsigned i = 0; i < total;) {
    reader.Refill();
    if (reader.past_end() > 8) return false;
    const Entry entry = NextSymbol<CodeLengthCode, 7>(length_code, reader);
    if (entry.bits == 0) return false;
    const unsigned symbol = entry.value;
    if (symbol < 16) {
      lengths[i++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint8_t repeated = 0;
    unsigned times;
    if (symbol == 16) {
      if (i == 0) return false;
      repeated = lengths[i - 1];
      times = 3 + reader.Take(2);
    } else if (symbol == 17) {
      times = 3 + reader.Take(3);
    } else {
      times = 11 + reader.Take(7);
    }
    if (i + times > total) return false;
    std::fill(lengths + i, lengths + i + times, repeated);
    i += times;
  }
  // A block that cannot end is malformed.
  if (lengths[256] == 0) return false;
  if (!tables.literals.Build(lengths, literal_count, Alphabet::kLiteralLength) ||
      !tables.distances.Build(lengths + literal_count, distance_count, Alphabet::kDistance)) {
    return false;
  }
  tables.literals.BuildRuns();
  return true;
}

// Copies a match of `length` bytes from `distance` back; the caller has
// checked both against the output.  With `slack`, up to 7 bytes past the
// match may be written (they are overwritten by what follows).  Inlined
// into the hot loop: as a call it cost a fifth of a BGZF fetch.
[[gnu::always_inline]] inline void CopyMatch(uint8_t* out, size_t distance, size_t length,
                                             bool slack) {
  const uint8_t* from = out - distance;
  if (slack && distance >= 8) {
    uint8_t* const end = out + length;
    do {
      std::memcpy(out, from, 8);
      out += 8;
      from += 8;
    } while (out < end);
    return;
  }
  if (distance == 1) {
    std::memset(out, *from, length);
    return;
  }
  for (size_t i = 0; i < length; ++i) out[i] = from[i];
}

// Room a match may need past its end for CopyMatch's whole words, plus the
// longest match.
constexpr size_t kFastRoom = 258 + 8;

enum class Fast { kNearEnd, kBlockEnd, kCorrupt, kStopped };

uint64_t LowBits(uint64_t window, unsigned count) { return window & ((uint64_t{1} << count) - 1); }

// The symbols of a Huffman block while at least 8 input bytes and
// kFastRoom output bytes remain: every refill is one load, every match a
// copy of whole words, and the window stays in registers (the reader's
// fields would live in memory).  After one refill the window holds at
// least 56 bits, enough for the longest length and distance with their
// extra bits (48).  `at` advances by what comes out; kNearEnd leaves the
// rest of the block to the careful loop.
Fast FastSymbols(const Tables& tables, BitReader& reader, uint8_t* begin, size_t size, size_t& at,
                 size_t wanted) {
  BitReader::Window window = reader.Save();
  const uint8_t* const end = reader.end();
  Fast outcome = Fast::kNearEnd;
  size_t out = at;
  // One bound for both reasons to leave: enough output, or too little room.
  const size_t stop = std::min(wanted, size >= kFastRoom ? size - kFastRoom + 1 : 0);
  while (out < stop && end - window.next >= 8) {
    window.buffer |= Load64(window.next) << window.count;
    window.next += (63 - window.count) >> 3;
    window.count |= 56;
    const uint64_t run = tables.literals.Run(static_cast<uint32_t>(window.buffer & kLiteralMask));
    const auto literals = static_cast<size_t>((run >> 36) & 7);
    if (literals != 0) {
      StoreLe32(begin + out, static_cast<uint32_t>(run));
      out += literals;
      const auto used = static_cast<unsigned>((run >> 32) & 15);
      window.buffer >>= used;
      window.count -= used;
      continue;
    }
    Entry entry = tables.literals.Lookup(static_cast<uint32_t>(window.buffer & kLiteralMask));
    if (entry.tag == kLonger) entry = tables.literals.DecodeLong(window.buffer);
    window.buffer >>= entry.bits;
    window.count -= entry.bits;
    if (entry.tag == kLiteral) {
      begin[out++] = static_cast<uint8_t>(entry.value);
      continue;
    }
    if (entry.tag == kEnd) {
      outcome = Fast::kBlockEnd;
      break;
    }
    if (entry.bits == 0 || entry.tag == kBad) {
      outcome = Fast::kCorrupt;
      break;
    }
    const size_t length = entry.value + LowBits(window.buffer, entry.tag);
    window.buffer >>= entry.tag;
    window.count -= entry.tag;
    Entry far = tables.distances.Lookup(static_cast<uint32_t>(window.buffer & 0xff));
    if (far.tag == kLonger) far = tables.distances.DecodeLong(window.buffer);
    if (far.bits == 0 || far.tag == kBad) {
      outcome = Fast::kCorrupt;
      break;
    }
    window.buffer >>= far.bits;
    window.count -= far.bits;
    const size_t distance = far.value + LowBits(window.buffer, far.tag);
    window.buffer >>= far.tag;
    window.count -= far.tag;
    if (distance > out) {
      outcome = Fast::kCorrupt;
      break;
    }
    CopyMatch(begin + out, distance, length, /*slack=*/true);
    out += length;
  }
  if (outcome == Fast::kNearEnd && out >= wanted) outcome = Fast::kStopped;
  reader.Restore(window);
  at = out;
  return outcome;
}

}  // namespace

InflateResult Inflate(std::span<const uint8_t> in, std::span<uint8_t> out, size_t wanted) {
  BitReader reader(in);
  uint8_t* const begin = out.data();
  const size_t size = out.size();
  size_t at = 0;
  auto result = [&](InflateStatus status) {
    // Output made from the zero bits read past the end of the input is
    // no output: the stream was cut short.
    if (status != InflateStatus::kCorrupt && reader.Overran()) status = InflateStatus::kTruncated;
    return InflateResult{status, at, reader.Taken()};
  };
  if (wanted == 0) return result(InflateStatus::kStopped);
  // The codes of a dynamic block are large (about 14 KiB): made on the
  // heap, once a block needs them, off the stack of callers that may run on
  // small thread stacks.
  std::unique_ptr<Tables> dynamic;
  for (;;) {
    reader.Refill();
    const bool final_block = reader.Take(1) != 0;
    const unsigned type = reader.Take(2);
    if (type == 0) {
      const size_t position = reader.AlignToByte();
      if (position + 4 > in.size()) return result(InflateStatus::kTruncated);
      const uint8_t* header = reader.at();
      const size_t length = header[0] | (size_t{header[1]} << 8);
      const size_t check = header[2] | (size_t{header[3]} << 8);
      if ((length ^ 0xFFFF) != check) return result(InflateStatus::kCorrupt);
      reader.Skip(4);
      if (length > size - at) return result(InflateStatus::kTooLong);
      if (length > reader.left()) return result(InflateStatus::kTruncated);
      std::memcpy(begin + at, reader.at(), length);
      reader.Skip(length);
      at += length;
      if (!final_block && at >= wanted) return result(InflateStatus::kStopped);
    } else if (type == 3) {
      return result(InflateStatus::kCorrupt);
    } else {
      const Tables* tables = &FixedTables();
      if (type == 2) {
        if (!dynamic) dynamic = std::make_unique_for_overwrite<Tables>();
        if (!ReadDynamicCodes(reader, *dynamic)) {
          return result(reader.Overran() ? InflateStatus::kTruncated : InflateStatus::kCorrupt);
        }
        tables = dynamic.get();
      }
      const Fast fast = FastSymbols(*tables, reader, begin, size, at, wanted);
      if (fast == Fast::kStopped) return result(InflateStatus::kStopped);
      if (fast == Fast::kCorrupt) return result(InflateStatus::kCorrupt);
      // Near the end of the input or the output: the careful loop, which
      // checks every bound, finishes the block.
      while (fast == Fast::kNearEnd) {
        reader.Refill();
        // A stream of zero bytes past its end could decode for ever.
        if (reader.past_end() > 8) return result(InflateStatus::kTruncated);
        if (size - at >= 4) {
          const uint64_t run = tables->literals.Run(reader.Peek(kLiteralBits));
          const auto count = static_cast<size_t>((run >> 36) & 7);
          if (count != 0) {
            // Four bytes are stored whatever the count: those past it are
            // overwritten by what follows, and `at` never counts them.
            StoreLe32(begin + at, static_cast<uint32_t>(run));
            at += count;
            reader.Drop(static_cast<unsigned>((run >> 32) & 15));
            if (at >= wanted) return result(InflateStatus::kStopped);
            continue;
          }
        }
        const Entry entry = NextSymbol<LiteralLengthCode, kLiteralBits>(tables->literals, reader);
        if (entry.tag == kLiteral) {
          if (at == size) return result(InflateStatus::kTooLong);
          begin[at++] = static_cast<uint8_t>(entry.value);
          if (at >= wanted) return result(InflateStatus::kStopped);
          continue;
        }
        if (entry.tag == kEnd) break;
        if (entry.bits == 0 || entry.tag == kBad) return result(InflateStatus::kCorrupt);
        // A length (at most 20 bits with its extra bits) and a distance (at
        // most 28): the window still holds them after one refill.
        const size_t length = entry.value + reader.Take(entry.tag);
        reader.Refill();
        const Entry far = NextSymbol<DistanceCode, 8>(tables->distances, reader);
        if (far.bits == 0 || far.tag == kBad) return result(InflateStatus::kCorrupt);
        const size_t distance = far.value + reader.Take(far.tag);
        if (distance > at) return result(InflateStatus::kCorrupt);
        if (length > size - at) return result(InflateStatus::kTooLong);
        CopyMatch(begin + at, distance, length, size - at >= kFastRoom);
        at += length;
        if (at >= wanted) return result(InflateStatus::kStopped);
      }
    }
    if (final_block) return result(InflateStatus::kEnded);
  }
}

const char* InflateStatusText(InflateStatus status) {
  switch (status) {
    case InflateStatus::kEnded: return "complete";
    case InflateStatus::kStopped: return "stopped early";
    case InflateStatus::kTruncated: return "the compressed data ends too soon";
    case InflateStatus::kCorrupt: return "the compressed data is corrupt";
    case InflateStatus::kTooLong: return "the compressed data holds more than its block";
  }
  return "unknown";
}

}  // namespace formats
