#include "native/codec/codec_lookup.h"

namespace native {

PyObject* str_lower = nullptr;
PyObject* str_upper = nullptr;
PyObject* str_title = nullptr;

bool LoadStrMethods() {
  auto load = [](const char* name, PyObject*& out) {
    auto* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    if (out == nullptr) out = PyObject_GetAttrString(str_type, name);
    return out != nullptr;
  };
  return load("lower", str_lower) && load("upper", str_upper) && load("title", str_title);
}

bool LowerKey::Of(PyObject* text) {
  if (PyUnicode_IS_ASCII(text)) {
    const auto* chars = static_cast<const char*>(PyUnicode_DATA(text));
    ascii_.assign(chars, static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    for (char& c : ascii_) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    key_ = {ascii_.data(), ascii_.size(), 1};
    return true;
  }
  Py_XDECREF(holder_);
  holder_ = PyObject_CallOneArg(str_lower, text);
  if (holder_ == nullptr) return false;
  key_ = KeyOf(holder_);
  return true;
}

uint32_t FoldedCode(const CodecTables& tables, TextKey lower) {
  const uint32_t symbol = tables.folded_symbols.Find(lower);
  const uint32_t spelling = tables.folded_spellings.Find(lower);
  // A form that a symbol and a spelling of another code share (symbol "ab",
  // spelling "AB" of another code, input "Ab") belongs to neither.
  if (symbol != kNoCode && spelling != kNoCode && symbol != spelling) return kNoCode;
  const uint32_t code = symbol != kNoCode ? symbol : spelling;
  return code == kAmbiguous ? kNoCode : code;
}

int64_t LowercaseLookup(const CodecTables& tables, PyObject* symbol) {
  LowerKey lower;
  if (!lower.Of(symbol)) return kLookupFailed;
  uint32_t code = FoldedCode(tables, lower.key());
  if (code == kNoCode) code = tables.unknown;
  return code == kNoCode ? int64_t{-1} : int64_t{code};
}

int64_t LookupSymbol(const CodecTables& tables, PyObject* symbol) {
  const int64_t code = QuickLookup(tables, symbol);
  return code == kNeedsLowercase ? LowercaseLookup(tables, symbol) : code;
}

int64_t LookupCharacter(const CodecTables& tables, Py_UCS4 c) {
  PyObject* symbol = PyUnicode_FromOrdinal(static_cast<int>(c));
  if (symbol == nullptr) return kLookupFailed;
  const int64_t code = LookupSymbol(tables, symbol);
  Py_DECREF(symbol);
  return code;
}

}  // namespace native
