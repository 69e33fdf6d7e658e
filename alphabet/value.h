// Values: what Encode and Decode are asked about, and what an alphabet's
// code table maps to codes.
//
// A value is of exactly one of two kinds, text or signed 64-bit integer.  Two
// values are equal only when they are of the same kind and their contents are
// equal: texts byte for byte, integers by value.  The text "3" and the integer
// 3 are different values.
//
// ValueView refers to a value without owning it: a text view borrows the
// caller's characters, which must outlive the view.  It exists so that a
// lookup can be made without copying the text.  Value owns its text.
//
// ValueHash and ValueEqual accept both forms (they are transparent), so a
// table keyed by Value can be searched with a ValueView; the hash agrees with
// the equality above.  A ValueHash is keyed with a seed (alphabet/hash.h),
// the process's unless it is given one, so two of them agree only when their
// seeds do.
//
// All of these are plain values: safe to use from any number of threads as
// long as no thread writes the object another thread reads.
#ifndef ALPHABET_ALPHABET_VALUE_H_
#define ALPHABET_ALPHABET_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "alphabet/hash.h"

namespace alphabet {

class ValueView {
 public:
  static constexpr ValueView Text(std::string_view text) { return ValueView(Kind::kText, text, 0); }
  static constexpr ValueView Int(int64_t integer) {
    return ValueView(Kind::kInt, std::string_view(), integer);
  }

  constexpr bool is_text() const { return kind_ == Kind::kText; }
  constexpr bool is_int() const { return kind_ == Kind::kInt; }
  // The text; empty for an integer.
  constexpr std::string_view text() const { return text_; }
  // The integer; 0 for a text.
  constexpr int64_t integer() const { return integer_; }

  friend constexpr bool operator==(ValueView a, ValueView b) {
    if (a.kind_ != b.kind_) return false;
    return a.is_text() ? a.text_ == b.text_ : a.integer_ == b.integer_;
  }

 private:
  enum class Kind : uint8_t { kText, kInt };

  constexpr ValueView(Kind kind, std::string_view text, int64_t integer)
      : text_(text), integer_(integer), kind_(kind) {}

  std::string_view text_;
  int64_t integer_;
  Kind kind_;
};

class Value {
 public:
  static Value Text(std::string text) { return Value(std::move(text)); }
  static Value Int(int64_t integer) { return Value(integer); }
  // Copies the viewed text, if any.
  explicit Value(ValueView view);

  bool is_text() const { return std::holds_alternative<std::string>(contents_); }
  bool is_int() const { return !is_text(); }
  // Valid while this value lives and is not assigned to.
  ValueView view() const {
    if (const std::string* text = std::get_if<std::string>(&contents_)) {
      return ValueView::Text(*text);
    }
    return ValueView::Int(*std::get_if<int64_t>(&contents_));
  }

  friend bool operator==(const Value& a, const Value& b) { return a.view() == b.view(); }

 private:
  explicit Value(std::string text) : contents_(std::move(text)) {}
  explicit Value(int64_t integer) : contents_(integer) {}

  std::variant<std::string, int64_t> contents_;
};

class ValueHash {
 public:
  using is_transparent = void;
  ValueHash() : seed_(ProcessHashSeed()) {}
  explicit ValueHash(const HashSeed& seed) : seed_(seed) {}

  // For callers that know the kind already.
  uint64_t Text(std::string_view text) const { return HashText(text, seed_); }
  uint64_t Integer(int64_t integer) const { return HashInteger(integer, seed_); }

  size_t operator()(ValueView value) const noexcept {
    return value.is_text() ? Text(value.text()) : Integer(value.integer());
  }
  size_t operator()(const Value& value) const noexcept { return (*this)(value.view()); }

 private:
  HashSeed seed_;
};

struct ValueEqual {
  using is_transparent = void;
  bool operator()(const Value& a, const Value& b) const noexcept { return a == b; }
  bool operator()(const Value& a, ValueView b) const noexcept { return a.view() == b; }
  bool operator()(ValueView a, const Value& b) const noexcept { return a == b.view(); }
  bool operator()(ValueView a, ValueView b) const noexcept { return a == b; }
};

// Appends the value as it appears in messages: a text unchanged (no quotes,
// no escaping), an integer in decimal with a leading '-' when negative.
void AppendRendering(std::string& out, ValueView value);

// A text shown in a one-line rendering for trace output (the Describe
// functions) keeps at most this many bytes: an object may hold texts of any
// size, and its rendering is built while the handle registry is locked.
inline constexpr size_t kShownTextBytes = 200;

// Appends `text`, or when it is longer than kShownTextBytes, as much of it as
// fits there without splitting a UTF-8 character, then "...".
void AppendShown(std::string& out, std::string_view text);

}  // namespace alphabet

#endif  // ALPHABET_ALPHABET_VALUE_H_
