// The machinery that turns one row of the method table into a method: the
// argument format, keyword list and docstring are computed at compile time
// from the row's parameters, and one wrapper template parses, converts, calls
// the flat function and builds the result.
//
// A parameter is a keyword and an argument codec; a codec names the parser's
// format unit, the C local it fills, the docstring's type word and the
// conversion to the flat function's argument.  A result codec turns the flat
// function's return value into a Python object.
#ifndef ALPHABET_MODULE_WRAP_H_
#define ALPHABET_MODULE_WRAP_H_

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace module {

// A string literal that can be a template argument.
template <size_t N>
struct Lit {
  char text[N];
  constexpr Lit(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

template <Lit Keyword, class Codec>
struct Param {
  static constexpr auto keyword_lit = Keyword;
  static constexpr std::string_view keyword = Keyword.view();
  using Arg = Codec;
};

// Null-terminated keyword list; every row with the same parameter names
// shares one instance.
template <Lit... Keywords>
struct KwList {
  static constexpr const char* value[] = {Keywords.text..., nullptr};
};

// Appends `text` one character at a time.  std::string's constructors and
// append(pointer, length) compare the pointer with null, and GCC 12 built
// with -fsanitize=null cannot evaluate that comparison at compile time when
// the pointer is the address of a template argument (the Lit texts).
constexpr void AppendText(std::string& out, std::string_view text) {
  for (char c : text) out.push_back(c);
}

// "name(a, b)\n\ntype: a: word\ntype: b: word"; a row without parameters ends
// right after the blank line.
template <class... Params>
constexpr std::string DocText(std::string_view name) {
  std::string doc;
  AppendText(doc, name);
  doc.push_back('(');
  std::string_view sep;
  ((AppendText(doc, sep), AppendText(doc, Params::keyword), sep = ", "), ...);
  AppendText(doc, ")\n\n");
  sep = "";
  ((AppendText(doc, sep), AppendText(doc, "type: "), AppendText(doc, Params::keyword),
    AppendText(doc, ": "), AppendText(doc, Params::Arg::word), sep = "\n"),
   ...);
  return doc;
}

template <Lit Name, class... Params>
inline constexpr auto kDoc = [] {
  std::array<char, DocText<Params...>(Name.view()).size() + 1> out{};
  std::string doc = DocText<Params...>(Name.view());
  std::copy(doc.begin(), doc.end(), out.begin());
  return out;
}();

template <class... Params>
inline constexpr std::array<char, sizeof...(Params) + 1> kFormat = {Params::Arg::unit..., '\0'};

// Calls Fn for the row `Name` with parameters `Params` and builds the result
// with `Result`.  Every wrapper checks for a pending exception after the
// call, so a flat function reports a fault by setting one.
template <Lit Name, auto Fn, class Result, class... Params>
struct Method {
  static constexpr int kFlags = sizeof...(Params) == 0 ? METH_NOARGS : METH_VARARGS | METH_KEYWORDS;

  static PyObject* WrapNoArgs(PyObject*, PyObject*) { return Finish(Fn); }

  static PyObject* WrapArgs(PyObject*, PyObject* args, PyObject* kwargs) {
    return ParseAndCall(args, kwargs, std::index_sequence_for<Params...>());
  }

  static PyMethodDef Def() {
    PyCFunction function;
    if constexpr (sizeof...(Params) == 0) {
      function = &WrapNoArgs;
    } else {
      function = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&WrapArgs));
    }
    return PyMethodDef{Name.text, function, kFlags, kDoc<Name, Params...>.data()};
  }

 private:
  template <size_t... I>
  static PyObject* ParseAndCall(PyObject* args, PyObject* kwargs, std::index_sequence<I...>) {
    std::tuple<typename Params::Arg::Local...> locals{};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, kFormat<Params...>.data(),
                                     KwList<Params::keyword_lit...>::value,
                                     &std::get<I>(locals)...)) {
      return nullptr;
    }
    std::tuple<typename Params::Arg::Flat...> flats{};
    if (!(Params::Arg::Convert(std::get<I>(locals), std::get<I>(flats)) && ...)) {
      return nullptr;
    }
    return Finish([&] { return Fn(std::get<I>(flats)...); });
  }

  template <class Call>
  static PyObject* Finish(Call call) {
    if constexpr (std::is_void_v<decltype(call())>) {
      call();
      if (PyErr_Occurred()) return nullptr;
      Py_RETURN_NONE;
    } else {
      auto value = call();
      if (PyErr_Occurred()) {
        Result::Discard(value);
        return nullptr;
      }
      return Result::Build(value);
    }
  }
};

// ---- Argument codecs

// A value the parser reads as `Local` with format unit `Unit` and that is
// passed on as `F`, widened where 32-bit values travel in 64-bit flat forms.
template <class L, class F, char Unit, Lit Word>
struct PlainArg {
  using Local = L;
  using Flat = F;
  static constexpr char unit = Unit;
  static constexpr std::string_view word = Word.view();
  static bool Convert(Local in, Flat& out) {
    out = static_cast<Flat>(in);
    return true;
  }
};

// A 64-bit signed integer: handles and 64-bit values.
using Int64Arg = PlainArg<long long, int64_t, 'L', "int64_t">;
// An index or sub-range bound, a 32-bit int on the Python side.
using IndexArg = PlainArg<int, int64_t, 'i', "int">;
// A str, handed on as its UTF-8 text, borrowed for the call.
using TextArg = PlainArg<const char*, const char*, 's', "char *">;
// Any object, borrowed for the call.
using ObjectArg = PlainArg<PyObject*, PyObject*, 'O', "PyObject *">;

// A truth value: the object's truth test; a test that raises is passed on.
struct TruthArg {
  using Local = PyObject*;
  using Flat = char;
  static constexpr char unit = 'O';
  static constexpr std::string_view word = "bool";
  static bool Convert(Local in, Flat& out) {
    const int truth = PyObject_IsTrue(in);
    out = static_cast<char>(truth > 0);
    return truth >= 0;
  }
};

// A narrow integer parsed as a 32-bit int: refused with ValueError "Out of
// range" at or above Bound before any call; smaller values, negative ones
// included, keep their low bits.
template <class T, int Bound, Lit Word>
struct NarrowArg {
  using Local = int;
  using Flat = T;
  static constexpr char unit = 'i';
  static constexpr std::string_view word = Word.view();
  static bool Convert(Local in, Flat& out) {
    if (in >= Bound) {
      PyErr_SetString(PyExc_ValueError, "Out of range");
      return false;
    }
    out = static_cast<T>(in);
    return true;
  }
};

using U8Arg = NarrowArg<uint8_t, 256, "uint8_t">;
using I8Arg = NarrowArg<int8_t, 128, "int8_t">;
using I16Arg = NarrowArg<int16_t, 32768, "int16_t">;
using U16Arg = NarrowArg<uint16_t, 65536, "uint16_t">;
using I32Arg = PlainArg<int, int64_t, 'i', "int32_t">;
// "I" and "K" take any Python int modulo 2**32 and 2**64.
using U32Arg = PlainArg<unsigned int, uint64_t, 'I', "uint32_t">;
using U64Arg = PlainArg<unsigned long long, uint64_t, 'K', "uint64_t">;
using F32Arg = PlainArg<float, float, 'f', "float">;
using F64Arg = PlainArg<double, double, 'd', "double">;

// ---- Result codecs

struct NoneResult {};

// Any integer, signed or unsigned, to a Python int.
struct IntResult {
  template <class T>
  static PyObject* Build(T value) {
    if constexpr (std::is_signed_v<T>) {
      return PyLong_FromLongLong(value);
    } else {
      return PyLong_FromUnsignedLongLong(value);
    }
  }
  template <class T>
  static void Discard(T) {}
};

struct BoolResult {
  static PyObject* Build(char value) { return PyBool_FromLong(value); }
  static void Discard(char) {}
};

// float results are widened to a Python float.
struct FloatResult {
  static PyObject* Build(double value) { return PyFloat_FromDouble(value); }
  static void Discard(double) {}
};

// A malloc'd NUL-terminated text, released once the str is built (or when
// the call failed).
struct TextResult {
  static PyObject* Build(char* text) {
    PyObject* str = PyUnicode_FromString(text);
    std::free(text);
    return str;
  }
  static void Discard(char* text) { std::free(text); }
};

// A new reference, handed over as it is.
struct ObjectResult {
  static PyObject* Build(PyObject* object) { return object; }
  static void Discard(PyObject* object) { Py_XDECREF(object); }
};

}  // namespace module

#endif  // ALPHABET_MODULE_WRAP_H_
