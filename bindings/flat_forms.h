// Flat forms: the plain C values in which sequence elements cross the
// exported functions, and the conversions between them and the elements.
//
//   FlatForm<Storage>::In    the type a set or append receives
//   FlatForm<Storage>::Out   the type an elem returns
//   FlatForm<Storage>::ToElem(In)   may throw std::bad_alloc (texts are copied)
//   FlatForm<Storage>::FromElem(const Elem&)   a text comes out as a new
//       malloc'd copy, null when memory runs out (bindings/text.h)
//
// Numbers travel as themselves, except that 32-bit integers travel widened
// to 64 bits: storing keeps the low bits (two's complement), reading widens.
#ifndef ALPHABET_BINDINGS_FLAT_FORMS_H_
#define ALPHABET_BINDINGS_FLAT_FORMS_H_

#include <cstdint>
#include <memory>

#include "alphabet/error.h"
#include "bindings/text.h"
#include "sequences/storage.h"

namespace bindings {

template <class Number>
struct Widened {
  using type = Number;
};
template <>
struct Widened<int32_t> {
  using type = int64_t;
};
template <>
struct Widened<uint32_t> {
  using type = uint64_t;
};

// Numbers.
template <class Storage>
struct FlatForm {
  using Elem = typename Storage::Elem;
  using In = typename Widened<Elem>::type;
  using Out = In;
  static Elem ToElem(In value) { return static_cast<Elem>(value); }
  static Out FromElem(const Elem& value) { return static_cast<Out>(value); }
};

// Any nonzero char stores 1.
template <>
struct FlatForm<sequences::BoolStorage> {
  using Elem = sequences::BoolStorage::Elem;
  using In = char;
  using Out = char;
  static Elem ToElem(In value) { return value != 0; }
  static Out FromElem(const Elem& value) { return static_cast<char>(value); }
};

// A NUL-terminated text in (null reads as empty), a new copy out.
template <>
struct FlatForm<sequences::StringStorage> {
  using Elem = sequences::StringStorage::Elem;
  using In = const char*;
  using Out = char*;
  static Elem ToElem(In value) { return FromCString(value); }
  static Out FromElem(const Elem& value) { return CString(value); }
};

// Every text stored, the empty one included, makes an error object; no
// error reads as the empty text.
template <>
struct FlatForm<sequences::ErrorStorage> {
  using Elem = sequences::ErrorStorage::Elem;
  using In = const char*;
  using Out = char*;
  static Elem ToElem(In value) {
    return std::make_shared<const alphabet::Error>(FromCString(value));
  }
  static Out FromElem(const Elem& value) { return ErrorToCString(value.get()); }
};

}  // namespace bindings

#endif  // ALPHABET_BINDINGS_FLAT_FORMS_H_
