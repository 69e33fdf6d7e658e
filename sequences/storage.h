// Storage types of the typed sequences: what one element slot holds and how
// it renders in trace output.  How each crosses the exported functions (its
// flat form) is the bindings' business (bindings/flat_forms.h).
//
// Kinds that share a storage type (byte and uint8, rune and int32) accept
// each other's handles, because the registry tells objects apart by their
// C++ type.  int and int64, and uint and uint64, have the same layout but
// are distinct types, so their handles are not interchangeable.
#ifndef ALPHABET_SEQUENCES_STORAGE_H_
#define ALPHABET_SEQUENCES_STORAGE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "alphabet/error.h"
#include "alphabet/value.h"

namespace sequences {

// A text element as trace output shows it: quoted, and cut when long.
inline std::string Quoted(std::string_view text) {
  std::string out = "\"";
  alphabet::AppendShown(out, text);
  out += '"';
  return out;
}

// A number of type E.
template <class E>
struct NumericStorage {
  using Elem = E;
  static std::string Render(const Elem& value) { return std::to_string(value); }
};

// One byte holding 1 or 0.
struct BoolStorage {
  using Elem = uint8_t;
  static std::string Render(const Elem& value) { return value ? "true" : "false"; }
};

// A private copy of a text.
struct StringStorage {
  using Elem = std::string;
  static std::string Render(const Elem& value) { return Quoted(value); }
};

// No error (null) or an error object.
struct ErrorStorage {
  using Elem = std::shared_ptr<const alphabet::Error>;
  static std::string Render(const Elem& value) {
    return value ? Quoted(value->message()) : "<nil>";
  }
};

struct U8Storage : NumericStorage<uint8_t> {};
struct I8Storage : NumericStorage<int8_t> {};
struct I16Storage : NumericStorage<int16_t> {};
struct U16Storage : NumericStorage<uint16_t> {};
struct I32Storage : NumericStorage<int32_t> {};
struct U32Storage : NumericStorage<uint32_t> {};
struct IntStorage : NumericStorage<int64_t> {};
struct Int64Storage : NumericStorage<int64_t> {};
struct UintStorage : NumericStorage<uint64_t> {};
struct Uint64Storage : NumericStorage<uint64_t> {};
struct F32Storage : NumericStorage<float> {};
struct F64Storage : NumericStorage<double> {};

}  // namespace sequences

#endif  // ALPHABET_SEQUENCES_STORAGE_H_
