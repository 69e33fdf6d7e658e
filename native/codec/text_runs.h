// Coding runs of characters through a codec's tables (codec_tables.h) with
// the kernels, one code per character, as far as the tables go without the
// interpreter: the loops under encoding a text, reading a record and filling
// a batch.  No Python in here; safe without the interpreter lock.
#ifndef ALPHABET_NATIVE_CODEC_TEXT_RUNS_H_
#define ALPHABET_NATIVE_CODEC_TEXT_RUNS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kernels/translate.h"
#include "native/codec/codec_tables.h"

namespace native {

// The codes of `n` Latin-1 characters into codes of Out's width; returns the
// first index the tables refuse (or leave to the slow path), or n.
template <class Out>
size_t TranslateBytes(const CodecTables& tables, const uint8_t* in, Out* out, size_t n) {
  if constexpr (sizeof(Out) == 1) {
    return kernels::TranslateChecked(in, out, n, *tables.encode_bytes);
  } else if constexpr (sizeof(Out) == 2) {
    return kernels::EncodeWide(in, out, n, *tables.encode_wide_bytes);
  } else {
    return TranslateChars(in, out, n, tables);
  }
}

// Characters the tables' own loop codes after the kernel stops at one
// beyond U+00FF, before the kernel takes over again: such characters tend
// to come together (a word in another script), and each stop costs a call.
inline constexpr size_t kWideStretch = 64;

// The same for a text stored two or four bytes per character.  With
// one-byte codes the kernel takes the characters up to U+00FF, which is
// nearly every text.
template <class Char, class Out>
size_t TranslateText(const CodecTables& tables, const Char* in, Out* out, size_t n) {
  if constexpr (sizeof(Char) == 1) {
    return TranslateBytes(tables, in, out, n);
  } else if constexpr (sizeof(Out) > 1) {
    return TranslateChars(in, out, n, tables);
  } else {
    size_t at = 0;
    for (;;) {
      at += kernels::TranslateWideChecked(in + at, out + at, n - at, *tables.encode_bytes);
      if (at == n) return n;
      const size_t stretch = std::min(n - at, kWideStretch);
      const size_t coded = TranslateChars(in + at, out + at, stretch, tables);
      at += coded;
      if (coded < stretch) return at;
    }
  }
}

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_TEXT_RUNS_H_
