// Alphabet: an ordered list of symbols (texts) in which each symbol's code is
// its position.
//
// Any text is a symbol, the empty text included, and a text may stand at
// several positions.  Besides the list, an alphabet keeps a code table with
// one entry per position, integer i -> i, and one per distinct text, text ->
// the highest position at which it stands.  Encode answers from the table
// alone, Decode from the list alone.
//
// An alphabet never changes once made, so any number of threads may call its
// methods at once without a lock.  Alphabets are shared, not copied: the
// handle registry, the standard-alphabet references and any caller may hold
// the same one through an AlphabetPtr, and it lives as long as one of them
// does.  Failures come back as an ErrorPtr beside a neutral result; nothing
// here throws (short of running out of memory).
#ifndef ALPHABET_ALPHABET_ALPHABET_H_
#define ALPHABET_ALPHABET_ALPHABET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "alphabet/code_table.h"
#include "alphabet/error.h"
#include "alphabet/value.h"

namespace alphabet {

class Alphabet;
using AlphabetPtr = std::shared_ptr<const Alphabet>;

// Makes an alphabet whose code i is symbols[i].  Never fails; no symbol is
// checked or altered, and an empty list gives an alphabet that answers every
// Encode and Decode with an error.
AlphabetPtr NewAlphabet(std::vector<std::string> symbols);

// On success `error` is null; on failure `code` is 0 and `error` holds
// "Symbol %v not in alphabet".
struct EncodeResult {
  int64_t code;
  ErrorPtr error;
};

// On success `symbol` points into the alphabet's own list and stays valid
// while the alphabet lives; on failure it is empty and `error` holds
// "Code %v not in alphabet".  Its data() is never null, so it can be copied
// with memcpy as it is.
struct DecodeResult {
  std::string_view symbol;
  ErrorPtr error;
};

class Alphabet {
 public:
  // Builds the code table over `symbols`.  NewAlphabet is the usual way in;
  // the constructor is public so that make_shared can place the alphabet and
  // its reference count in one allocation.
  explicit Alphabet(std::vector<std::string> symbols);
  Alphabet(const Alphabet&) = delete;
  Alphabet& operator=(const Alphabet&) = delete;

  // The code of a text symbol (its last position), or an integer i itself
  // when 0 <= i < size().  One table lookup; allocates only on failure.
  EncodeResult Encode(ValueView symbol) const;

  // The symbol at an integer code 0 <= code < size().  A text is never a
  // code, even one that spells a number.  Allocates only on failure.
  DecodeResult Decode(ValueView code) const;

  // A new alphabet of this one's symbols followed by `symbols`, with its code
  // table built afresh over the whole list: an added text that repeats an
  // earlier one takes the higher code.  This alphabet is left as it was.
  AlphabetPtr Extend(std::vector<std::string> symbols) const;

  // The symbols in code order; valid while the alphabet lives.
  const std::vector<std::string>& Symbols() const { return symbols_; }

  size_t size() const { return symbols_.size(); }
  // Entries in the code table: size() integers plus one per distinct text.
  size_t encoding_size() const { return encoding_.size(); }

 private:
  const std::vector<std::string> symbols_;
  const CodeTable encoding_;  // built from symbols_, so declared after it
};

// One-line rendering for trace output: the number of symbols and the first
// few of them, quoted but unescaped, each cut (AppendShown).
std::string Describe(const Alphabet& alphabet);

}  // namespace alphabet

#endif  // ALPHABET_ALPHABET_ALPHABET_H_
