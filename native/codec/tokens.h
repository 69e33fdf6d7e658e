// Texts under alphabets whose symbols are not all one character: special
// tokens beside one-letter symbols ("<pad>", "<cls>", "<mask>"), or codons.
// Such a text is cut by the longest symbol or spelling (with ignore_case,
// in either case) that matches at each position; a position where none
// matches takes the code of its one character, as one-character alphabets
// give it (the unknown code included), or is refused.
//
// Between tokens the kernels code one code per character as usual: the
// character tables leave out only the characters a token may start with
// (codec_tables.h), so a text without tokens runs at the kernels' speed.
#ifndef ALPHABET_NATIVE_CODEC_TOKENS_H_
#define ALPHABET_NATIVE_CODEC_TOKENS_H_

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "native/codec/codec_lookup.h"
#include "native/codec/codec_tables.h"
#include "native/codec/text_runs.h"

namespace native {

// For alphabets with symbols or spellings longer than one character (`texts`):
// fills token_lengths and single_codes, and takes the characters up to
// U+00FF that may start a token out of char_codes.  Runs with the
// interpreter lock (case forms); false with an exception set.
bool BuildTokenTables(CodecTables& tables, const std::vector<PyObject*>& texts);

// Room to key a piece of text by its stored form (the narrowest width that
// holds its characters), as the symbol tables key symbols.
class PieceKey {
 public:
  explicit PieceKey(const CodecTables& tables);

  // The key of `length` characters at `in`.
  template <class Char>
  TextKey Of(const Char* in, size_t length) {
    if constexpr (sizeof(Char) == 1) {
      return {in, length, 1};
    } else {
      uint32_t widest = 0;
      for (size_t i = 0; i < length; ++i) widest = widest > in[i] ? widest : in[i];
      if (widest < 0x100) return Narrowed<uint8_t>(in, length, 1);
      if (sizeof(Char) == 4 && widest < 0x10000) return Narrowed<uint16_t>(in, length, 2);
      return {in, length, static_cast<int>(sizeof(Char))};
    }
  }

  // The key of the lowercase form of `key`: lowered here for ASCII, through
  // str.lower otherwise (which needs the interpreter lock).  False with an
  // exception set when str.lower fails.
  bool Lowered(TextKey key, TextKey& lowered);

 private:
  template <class Narrow, class Char>
  TextKey Narrowed(const Char* in, size_t length, int width) {
    auto* out = reinterpret_cast<Narrow*>(bytes_.data());
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<Narrow>(in[i]);
    return {out, length, width};
  }

  std::vector<uint32_t> bytes_;  // 4 bytes per character of the longest token
  std::vector<char> lower_;
  LowerKey folded_;
};

// The code of the longest symbol or spelling that matches at in[at] of a
// text of n characters, its length in characters in `used`; -1 for none, or
// kLookupFailed with an exception set (with ignore_case only, which may run
// str.lower and so needs the interpreter lock).
template <class Char>
int64_t MatchToken(const CodecTables& tables, const Char* in, size_t n, size_t at, size_t& used,
                   PieceKey& piece) {
  for (const size_t length : tables.token_lengths) {
    if (length > n - at) continue;
    const TextKey key = piece.Of(in + at, length);
    uint32_t code = tables.exact.Find(key);
    if (code == kNoCode && tables.ignore_case) {
      TextKey lowered;
      if (!piece.Lowered(key, lowered)) return kLookupFailed;
      code = FoldedCode(tables, lowered);
    }
    if (code != kNoCode) {
      used = length;
      return code;
    }
  }
  used = 1;
  const uint32_t c = in[at];
  if (c < 256) return tables.single_codes[c];
  const uint32_t code = tables.wide_chars.Find(c);
  if (code != kNoCode) return code;
  if (tables.ignore_case) return LookupCharacter(tables, c);
  return tables.unknown == kNoCode ? int64_t{-1} : int64_t{tables.unknown};
}

// How far coding a text into tokens went: `read` characters (n when all),
// giving `written` codes; `failed` when a lookup raised.
struct TokenRun {
  size_t read;
  size_t written;
  bool failed;
};

// The codes of the text in[0, n) cut into tokens, into `out` (room for n
// codes).  Without ignore_case it runs no Python code and needs no
// interpreter lock.
template <class Char, class Out>
TokenRun EncodeTokens(const CodecTables& tables, const Char* in, size_t n, Out* out) {
  PieceKey piece(tables);
  size_t at = 0;
  size_t count = 0;
  while (at < n) {
    // A kernel call that would stop at once is not made: codons start a
    // token at every position.
    if (in[at] >= 256 || tables.char_codes[in[at]] >= 0) {
      const size_t done = TranslateText(tables, in + at, out + count, n - at);
      at += done;
      count += done;
      if (at == n) break;
    }
    size_t used = 1;
    const int64_t code = MatchToken(tables, in, n, at, used, piece);
    if (code < 0) return {at, count, code == kLookupFailed};
    out[count++] = static_cast<Out>(code);
    at += used;
  }
  return {n, count, false};
}

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_TOKENS_H_
