// Looking up one symbol under a codec's rules (codec_tables.h): the exact
// text, a spelling, then with ignore_case its lowercase form, then the
// unknown code.  The quick part runs no Python code and is inline, for the
// codec's loops over lists of symbols; the lowercase part calls str.lower
// for texts beyond ASCII.  Called with the interpreter lock held.
#ifndef ALPHABET_NATIVE_CODEC_CODEC_LOOKUP_H_
#define ALPHABET_NATIVE_CODEC_CODEC_LOOKUP_H_

#include <Python.h>

#include <cstdint>
#include <string>

#include "native/codec/codec_tables.h"
#include "native/codec/symbol_table.h"

namespace native {

// str's own methods, unbound, so that a str subclass cannot change what
// they mean; loaded by LoadStrMethods.
extern PyObject* str_lower;
extern PyObject* str_upper;
extern PyObject* str_title;
bool LoadStrMethods();

// The stored form of a str, as the tables key it.
inline TextKey KeyOf(PyObject* text) {
  return {PyUnicode_DATA(text), static_cast<size_t>(PyUnicode_GET_LENGTH(text)),
          PyUnicode_KIND(text)};
}

// The key of text.lower(): lowered here for ASCII, by str.lower otherwise.
// `ascii` or `holder` keep the key's storage; false with an exception set
// when str.lower fails.
class LowerKey {
 public:
  LowerKey() = default;
  ~LowerKey() { Py_XDECREF(holder_); }
  LowerKey(const LowerKey&) = delete;
  LowerKey& operator=(const LowerKey&) = delete;

  bool Of(PyObject* text);
  TextKey key() const { return key_; }

 private:
  std::string ascii_;
  PyObject* holder_ = nullptr;
  TextKey key_{nullptr, 0, 1};
};

// The code that ignore_case gives a text whose lowercase form is `lower`;
// kNoCode for none.
uint32_t FoldedCode(const CodecTables& tables, TextKey lower);

inline constexpr int64_t kLookupFailed = -2;
inline constexpr int64_t kNeedsLowercase = -3;

// The code of the text `symbol` as far as it can be found without running
// Python code: >= 0, -1 for none, or kNeedsLowercase when ignore_case must
// look at its lowercase form.
inline int64_t QuickLookup(const CodecTables& tables, PyObject* symbol) {
  const TextKey key = KeyOf(symbol);
  if (tables.one_char && key.length == 1 && key.width == 1) {
    return tables.char_codes[*static_cast<const uint8_t*>(key.data)];
  }
  const uint32_t code = tables.exact.Find(key);
  if (code != kNoCode) return code;
  if (tables.ignore_case) return kNeedsLowercase;
  return tables.unknown == kNoCode ? -1 : int64_t{tables.unknown};
}

// The code ignore_case gives `symbol`, else the unknown code: >= 0, -1 for
// none, or kLookupFailed with an exception set.  May run Python code
// (str.lower): the caller holds a reference to `symbol`.
int64_t LowercaseLookup(const CodecTables& tables, PyObject* symbol);

// The code of the text `symbol` under every rule: >= 0, -1 for none, or
// kLookupFailed with an exception set.
int64_t LookupSymbol(const CodecTables& tables, PyObject* symbol);

// The code of one character the tables leave to the slow path.
int64_t LookupCharacter(const CodecTables& tables, Py_UCS4 c);

}  // namespace native

#endif  // ALPHABET_NATIVE_CODEC_CODEC_LOOKUP_H_
