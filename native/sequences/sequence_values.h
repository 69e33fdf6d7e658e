// How a Python value becomes an element of a typed sequence and back, one
// rule per storage type (sequences/storage.h).
//
// These are the package's rules, stricter than the raw module's: an integer
// kind refuses any value outside its range, either sign, with OverflowError
// naming the value and the kind; a non-integer is a TypeError; bool stores
// the truth value; float kinds take what float() of a real number gives
// (float32 rounds); string and error take str only, and refuse a text with a
// NUL character or a lone surrogate (ValueError naming its position), which
// cannot cross to the library as UTF-8 without changing.
//
// Each rule offers, for its storage type:
//   Value             a converted value, held until it is appended (a text
//                     keeps its str, or its malloc'd copy, alive);
//   FromPython        Python value -> Value, or false with the exception set;
//   IsPlain           true when FromPython runs no Python code for the value
//                     (exact builtin types), so a borrowed reference will do;
//   FromFlat          an element read through a flat function -> Value;
//   FromItem          a raw buffer item (Item) -> Value;
//   In                Value -> the flat functions' input form;
//   ToPython          an element read through a flat function -> a new
//                     reference (null with the exception set);
//   ToItem            an element read -> a raw buffer item;
//   Drop, DropFlat    release what a Value or a read element owns.
// Every function runs with the interpreter lock held.
#ifndef ALPHABET_NATIVE_SEQUENCES_SEQUENCE_VALUES_H_
#define ALPHABET_NATIVE_SEQUENCES_SEQUENCE_VALUES_H_

#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "bindings/flat_forms.h"
#include "native/common/item_format.h"
#include "native/common/text.h"
#include "sequences/storage.h"

namespace native {

// "an" before int8, error...; "a" before uint8, float64, string...
constexpr const char* Article(const char* kind) {
  return kind[0] == 'i' || kind[0] == 'e' ? "an" : "a";
}

// Sets OverflowError "value V is out of range for a K sequence [min, max]".
bool RaiseOutOfRange(PyObject* integer, const char* kind, long long min, unsigned long long max);

// Sets the ValueError for a text that cannot be held, naming the position of
// its first NUL character or lone surrogate.
bool RaiseUnholdableText(PyObject* text, const char* kind);

template <class Storage>
struct IntegerValues {
  using Elem = typename Storage::Elem;
  using FlatIn = typename bindings::FlatForm<Storage>::In;
  using FlatOut = typename bindings::FlatForm<Storage>::Out;
  using Item = Elem;
  using Value = FlatIn;
  static constexpr ItemClass kItemClass =
      std::is_signed_v<Elem> ? ItemClass::kSigned : ItemClass::kUnsigned;
  static constexpr long long kMin = static_cast<long long>(std::numeric_limits<Elem>::min());
  static constexpr unsigned long long kMax =
      static_cast<unsigned long long>(std::numeric_limits<Elem>::max());

  static bool IsPlain(PyObject* object) { return PyLong_CheckExact(object); }

  static bool FromPython(PyObject* object, const char* kind, Value& out) {
    if (PyLong_CheckExact(object)) return FromInt(object, kind, out);
    if (!PyIndex_Check(object)) {
      PyErr_Format(PyExc_TypeError, "%s %s sequence takes integers, not %.200s", Article(kind),
                   kind, Py_TYPE(object)->tp_name);
      return false;
    }
    PyObject* integer = PyNumber_Index(object);
    if (integer == nullptr) return false;
    const bool ok = FromInt(integer, kind, out);
    Py_DECREF(integer);
    return ok;
  }

  // The range is checked on the whole Python int, before any narrowing.
  static bool FromInt(PyObject* integer, const char* kind, Value& out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow == 0) {
      if constexpr (std::is_signed_v<Elem>) {
        if (value >= kMin && value <= static_cast<long long>(kMax)) {
          out = static_cast<Value>(value);
          return true;
        }
      } else if (value >= 0 && static_cast<unsigned long long>(value) <= kMax) {
        out = static_cast<Value>(value);
        return true;
      }
    } else if constexpr (std::is_same_v<Elem, uint64_t>) {
      if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(integer);
        if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
          out = static_cast<Value>(big);
          return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
      }
    }
    return RaiseOutOfRange(integer, kind, kMin, kMax);
  }

  static Value FromFlat(FlatOut flat) { return static_cast<Value>(flat); }
  static Value FromItem(Item item) { return static_cast<Value>(item); }
  static FlatIn In(const Value& value) { return value; }
  static PyObject* ToPython(FlatOut flat) {
    if constexpr (std::is_signed_v<Elem>) {
      return PyLong_FromLongLong(flat);
    } else {
      return PyLong_FromUnsignedLongLong(flat);
    }
  }
  // Lossless: the element was stored as an Elem.
  static Item ToItem(FlatOut flat) { return static_cast<Item>(flat); }
  static void Drop(Value&) {}
  static void DropFlat(FlatOut) {}
};

struct BoolValues {
  using FlatOut = bindings::FlatForm<sequences::BoolStorage>::Out;
  using Item = uint8_t;  // the buffer format '?': one byte, 0 or 1
  using Value = char;
  static constexpr ItemClass kItemClass = ItemClass::kBool;

  static bool IsPlain(PyObject* object) {
    return PyBool_Check(object) || PyLong_CheckExact(object) || object == Py_None;
  }

  // The truth value; a truth test that raises is passed on.
  static bool FromPython(PyObject* object, const char*, Value& out) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = static_cast<char>(truth);
    return true;
  }
  static Value FromFlat(FlatOut flat) { return flat != 0; }
  static Value FromItem(Item item) { return item != 0; }
  static char In(const Value& value) { return value; }
  static PyObject* ToPython(FlatOut flat) { return PyBool_FromLong(flat != 0); }
  static Item ToItem(FlatOut flat) { return flat != 0; }
  static void Drop(Value&) {}
  static void DropFlat(FlatOut) {}
};

template <class Storage>
struct FloatValues {
  using Elem = typename Storage::Elem;
  using FlatOut = typename bindings::FlatForm<Storage>::Out;
  using Item = Elem;
  using Value = Elem;
  static constexpr ItemClass kItemClass = ItemClass::kFloat;

  static bool IsPlain(PyObject* object) {
    return PyFloat_CheckExact(object) || PyLong_CheckExact(object);
  }

  static bool FromPython(PyObject* object, const char* kind, Value& out) {
    if (PyFloat_CheckExact(object)) {
      out = static_cast<Elem>(PyFloat_AS_DOUBLE(object));
      return true;
    }
    // float() of a str parses it; a float sequence takes numbers only.
    const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr)) {
      PyErr_Format(PyExc_TypeError, "%s %s sequence takes real numbers, not %.200s", Article(kind),
                   kind, Py_TYPE(object)->tp_name);
      return false;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = static_cast<Elem>(value);
    return true;
  }
  static Value FromFlat(FlatOut flat) { return flat; }
  static Value FromItem(Item item) { return item; }
  static Elem In(const Value& value) { return value; }
  static PyObject* ToPython(FlatOut flat) { return PyFloat_FromDouble(flat); }
  static Item ToItem(FlatOut flat) { return flat; }
  static void Drop(Value&) {}
  static void DropFlat(FlatOut) {}
};

template <class Storage>
struct TextValues {
  using FlatOut = char*;
  using Item = void;  // texts have no buffer form
  // The UTF-8 text to append, and what keeps it alive: the str it is cached
  // in, or a malloc'd copy read from another sequence.
  struct Value {
    PyObject* owner = nullptr;
    char* owned = nullptr;
    const char* utf8 = nullptr;
  };
  static constexpr ItemClass kItemClass = ItemClass::kText;

  static bool IsPlain(PyObject* object) { return PyUnicode_CheckExact(object); }

  static bool FromPython(PyObject* object, const char* kind, Value& out) {
    if (!PyUnicode_Check(object)) {
      PyErr_Format(PyExc_TypeError, "%s %s sequence takes str, not %.200s", Article(kind), kind,
                   Py_TYPE(object)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = HoldableUtf8(object, size);
    if (utf8 == nullptr) return !PyErr_Occurred() && RaiseUnholdableText(object, kind);
    out.owner = Py_NewRef(object);
    out.utf8 = utf8;
    return true;
  }
  static Value FromFlat(FlatOut flat) { return Value{nullptr, flat, flat}; }
  static const char* In(const Value& value) { return value.utf8; }
  static PyObject* ToPython(FlatOut flat) {
    if (flat == nullptr) {
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return nullptr;
    }
    PyObject* text = PyUnicode_FromString(flat);
    std::free(flat);
    return text;
  }
  static void Drop(Value& value) {
    Py_XDECREF(value.owner);
    std::free(value.owned);
    value = Value();
  }
  static void DropFlat(FlatOut flat) { std::free(flat); }
};

// The rule of a storage type.
template <class Storage>
using ValuesFor = std::conditional_t<
    std::is_same_v<Storage, sequences::BoolStorage>, BoolValues,
    std::conditional_t<std::is_same_v<typename bindings::FlatForm<Storage>::In, const char*>,
                       TextValues<Storage>,
                       std::conditional_t<std::is_floating_point_v<typename Storage::Elem>,
                                          FloatValues<Storage>, IntegerValues<Storage>>>>;

}  // namespace native

#endif  // ALPHABET_NATIVE_SEQUENCES_SEQUENCE_VALUES_H_
