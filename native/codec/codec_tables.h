// The tables of one codec: everything an alphabet's encoding and decoding
// need, derived once from its symbols and options, then only read.
//
// Codes are positions in the alphabet.  Encoding a symbol looks for, in
// order: the symbol itself (its last position), a spelling given for it,
// and, with ignore_case, the one code whose symbols or spellings have the
// input's lowercase form (none when two codes share it: a form that belongs
// to several is no one's); then the unknown code, if any.  The answer for
// each character up to U+00FF as a one-character symbol is one table entry,
// options included, and characters beyond have a table of their own.
//
// Alphabets with longer symbols (tokens such as "<pad>", or codons) cut a
// text by the longest symbol or spelling that matches at each position
// (tokens.h).  Their character tables leave out the characters that may
// start a longer symbol, so that the kernels stop there and only there.
//
// No Python in here: the tables are filled by BuildCodecTables
// (codec_build.cc), which alone needs the interpreter (for str.lower), and are
// read by the loops below with or without the interpreter lock.
#ifndef ALPHABET_NATIVE_CODEC_CODEC_TABLES_H_
#define ALPHABET_NATIVE_CODEC_CODEC_TABLES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kernels/byte_map.h"
#include "native/codec/symbol_table.h"

namespace native {

inline constexpr uint32_t kNoCode = SymbolTable::kAbsent;
// In the lowercase tables: several symbols share the lowercase form.
inline constexpr uint32_t kAmbiguous = SymbolTable::kAbsent - 1;

struct CodecTables {
  size_t size = 0;
  bool one_char = true;
  bool ignore_case = false;
  uint32_t unknown = kNoCode;

  // Symbols, then the spellings that are no symbol.
  SymbolTable exact;
  // With ignore_case: lowercase forms of the symbols, and of the spellings.
  SymbolTable folded_symbols;
  SymbolTable folded_spellings;

  // The code of each character U+0000..U+00FF (-1 when refused), every rule
  // applied; with tokens, -1 also for the characters that may start one.
  int32_t char_codes[256];
  // With tokens: the same before those were taken out, for the characters
  // where no token matches.
  int32_t single_codes[256];
  // The same as a byte map, for alphabets of at most 256 codes, or as a map
  // to 16-bit codes for alphabets of up to 65536.
  std::optional<kernels::ByteMap> encode_bytes;
  std::optional<kernels::WideByteMap> encode_wide_bytes;
  // Characters beyond U+00FF: the symbols and spellings, and with
  // ignore_case the case forms of each; others go to the slow path.
  CharTable wide_chars;

  // The lengths in characters of the symbols and spellings longer than one
  // character, longest first; empty for alphabets of one-character symbols,
  // whose texts never look for one.
  std::vector<size_t> token_lengths;
  bool tokens() const { return !token_lengths.empty(); }

  // Decoding one-character alphabets: the code point of each code; with at
  // most 256 codes all below U+0100, also as a byte map (code -> character
  // byte).
  std::vector<uint32_t> code_points;
  std::optional<kernels::ByteMap> decode_bytes;
  uint32_t max_code_point = 0;

  // Bytes per code in an encoded result: 1 up to 256 codes, then 2, then 4.
  size_t code_width() const { return size <= 256 ? 1 : size <= 65536 ? 2 : 4; }
};

// The codes of `n` characters, one per character: returns the first index
// whose character needs the slow path (beyond U+00FF, not in wide_chars,
// with ignore_case on; with tokens, any that may start one) or is refused;
// n when none.
template <class Char, class Out>
size_t TranslateChars(const Char* in, Out* out, size_t n, const CodecTables& tables) {
  // With tokens, any character beyond U+00FF may start one.
  const bool may_default = !tables.ignore_case && tables.unknown != kNoCode;
  const bool wide_stops = tables.tokens();
  for (size_t i = 0; i < n; ++i) {
    const uint32_t c = in[i];
    uint32_t code;
    if (c < 256) {
      if (tables.char_codes[c] < 0) return i;
      code = static_cast<uint32_t>(tables.char_codes[c]);
    } else {
      if (wide_stops) return i;
      code = tables.wide_chars.Find(c);
      if (code == kNoCode) {
        if (!may_default) return i;
        code = tables.unknown;
      }
    }
    out[i] = static_cast<Out>(code);
  }
  return n;
}

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_CODEC_TABLES_H_
