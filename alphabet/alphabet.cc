#include "alphabet/alphabet.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

namespace alphabet {
namespace {

// The library's only two messages.  Kept out of line so that the successful
// paths of Encode and Decode stay small.
[[gnu::noinline]] ErrorPtr NotInAlphabet(std::string_view what, ValueView value) {
  std::string message;
  message.reserve(what.size() + value.text().size() + 36);
  message += what;
  message += ' ';
  AppendRendering(message, value);
  message += " not in alphabet";
  return std::make_shared<const Error>(std::move(message));
}

}  // namespace

AlphabetPtr NewAlphabet(std::vector<std::string> symbols) {
  return std::make_shared<const Alphabet>(std::move(symbols));
}

Alphabet::Alphabet(std::vector<std::string> symbols)
    : symbols_(std::move(symbols)), encoding_(symbols_) {}

EncodeResult Alphabet::Encode(ValueView symbol) const {
  if (const std::optional<int64_t> code = encoding_.Find(symbols_, symbol)) {
    return {*code, nullptr};
  }
  return {0, NotInAlphabet("Symbol", symbol)};
}

DecodeResult Alphabet::Decode(ValueView code) const {
  // Viewed as unsigned, a negative code is larger than any size, so one
  // comparison covers both ends of the range.
  if (code.is_int() && static_cast<uint64_t>(code.integer()) < symbols_.size()) {
    return {symbols_[code.integer()], nullptr};
  }
  return {std::string_view(""), NotInAlphabet("Code", code)};
}

AlphabetPtr Alphabet::Extend(std::vector<std::string> symbols) const {
  std::vector<std::string> combined;
  combined.reserve(symbols_.size() + symbols.size());
  combined.insert(combined.end(), symbols_.begin(), symbols_.end());
  combined.insert(combined.end(), std::make_move_iterator(symbols.begin()),
                  std::make_move_iterator(symbols.end()));
  return NewAlphabet(std::move(combined));
}

std::string Describe(const Alphabet& alphabet) {
  constexpr size_t kShown = 8;
  const std::vector<std::string>& symbols = alphabet.Symbols();
  std::string out = "Alphabet{" + std::to_string(symbols.size()) + " symbols";
  const size_t shown = std::min(symbols.size(), kShown);
  for (size_t i = 0; i < shown; ++i) {
    out += i == 0 ? ": \"" : " \"";
    AppendShown(out, symbols[i]);
    out += '"';
  }
  if (symbols.size() > shown) out += " ...";
  out += '}';
  return out;
}

}  // namespace alphabet
