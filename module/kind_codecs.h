// The codecs of a sequence kind's rows, from its storage type: the argument
// codec of the value that set and append take, and the result codec of the
// element that elem returns (module/wrap.h).  Kinds that share a storage
// type share their codecs.
#ifndef ALPHABET_MODULE_KIND_CODECS_H_
#define ALPHABET_MODULE_KIND_CODECS_H_

#include <cstdint>
#include <type_traits>

#include "module/wrap.h"
#include "sequences/storage.h"

namespace module {

template <class Number>
struct NumberArg;
template <>
struct NumberArg<uint8_t> {
  using type = U8Arg;
};
template <>
struct NumberArg<int8_t> {
  using type = I8Arg;
};
template <>
struct NumberArg<int16_t> {
  using type = I16Arg;
};
template <>
struct NumberArg<uint16_t> {
  using type = U16Arg;
};
template <>
struct NumberArg<int32_t> {
  using type = I32Arg;
};
template <>
struct NumberArg<uint32_t> {
  using type = U32Arg;
};
template <>
struct NumberArg<int64_t> {
  using type = Int64Arg;
};
template <>
struct NumberArg<uint64_t> {
  using type = U64Arg;
};
template <>
struct NumberArg<float> {
  using type = F32Arg;
};
template <>
struct NumberArg<double> {
  using type = F64Arg;
};

// Numbers.
template <class Storage>
struct KindCodecs {
  using Elem = typename Storage::Elem;
  using ValueArg = typename NumberArg<Elem>::type;
  using ElementResult = std::conditional_t<std::is_floating_point_v<Elem>, FloatResult, IntResult>;
};

template <>
struct KindCodecs<sequences::BoolStorage> {
  using ValueArg = TruthArg;
  using ElementResult = BoolResult;
};

template <>
struct KindCodecs<sequences::StringStorage> {
  using ValueArg = TextArg;
  using ElementResult = TextResult;
};

template <>
struct KindCodecs<sequences::ErrorStorage> {
  using ValueArg = TextArg;
  using ElementResult = TextResult;
};

}  // namespace module

#endif  // ALPHABET_MODULE_KIND_CODECS_H_
