#include "native/codec/tokens.h"

#include <algorithm>

#include "native/common/ref.h"

namespace native {

bool BuildTokenTables(CodecTables& tables, const std::vector<PyObject*>& texts) {
  // A million symbols are a few lengths and first characters: each is kept
  // once as it is met, with no sort of all of them.
  bool starts[256] = {};
  std::vector<Py_UCS4> wide_firsts;
  std::vector<bool> has_length;
  for (PyObject* text : texts) {
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    if (length >= has_length.size()) has_length.resize(length + 1);
    has_length[length] = true;
    const Py_UCS4 first = PyUnicode_READ_CHAR(text, 0);
    if (first < 256) {
      starts[first] = true;
    } else {
      wide_firsts.push_back(first);
    }
  }
  tables.token_lengths.clear();
  for (size_t length = has_length.size(); length-- > 0;) {
    if (has_length[length]) tables.token_lengths.push_back(length);
  }
  if (tables.ignore_case) {
    // A character starts a token in the other case too: any byte whose
    // lowercase form is that of a token's first character.
    std::sort(wide_firsts.begin(), wide_firsts.end());
    wide_firsts.erase(std::unique(wide_firsts.begin(), wide_firsts.end()), wide_firsts.end());
    std::vector<Py_UCS4> firsts = wide_firsts;
    for (int b = 0; b < 256; ++b) {
      if (starts[b]) firsts.push_back(static_cast<Py_UCS4>(b));
    }
    Ref lowered_bytes[256];
    for (int b = 0; b < 256; ++b) {
      const Ref character(PyUnicode_FromOrdinal(b));
      lowered_bytes[b] = Ref(character ? PyObject_CallOneArg(str_lower, character.get()) : nullptr);
      if (!lowered_bytes[b]) return false;
    }
    for (const Py_UCS4 first : firsts) {
      const Ref character(PyUnicode_FromOrdinal(static_cast<int>(first)));
      const Ref lowered(character ? PyObject_CallOneArg(str_lower, character.get()) : nullptr);
      if (!lowered) return false;
      for (int b = 0; b < 256; ++b) {
        const int same = PyUnicode_Compare(lowered_bytes[b].get(), lowered.get());
        if (same == -1 && PyErr_Occurred()) return false;
        if (same == 0) starts[b] = true;
      }
    }
  }
  for (int c = 0; c < 256; ++c) {
    tables.single_codes[c] = tables.char_codes[c];
    if (starts[c]) tables.char_codes[c] = -1;
  }
  return true;
}

PieceKey::PieceKey(const CodecTables& tables) {
  const size_t longest = tables.token_lengths.empty() ? 1 : tables.token_lengths.front();
  bytes_.resize(longest);
  lower_.resize(longest);
}

bool PieceKey::Lowered(TextKey key, TextKey& lowered) {
  const auto* chars = static_cast<const uint8_t*>(key.data);
  bool ascii = key.width == 1;
  for (size_t i = 0; ascii && i < key.length; ++i) ascii = chars[i] < 0x80;
  if (ascii) {
    for (size_t i = 0; i < key.length; ++i) {
      const char c = static_cast<char>(chars[i]);
      lower_[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    lowered = {lower_.data(), key.length, 1};
    return true;
  }
  const int kind = key.width == 1   ? PyUnicode_1BYTE_KIND
                   : key.width == 2 ? PyUnicode_2BYTE_KIND
                                    : PyUnicode_4BYTE_KIND;
  const Ref text(PyUnicode_FromKindAndData(kind, key.data, static_cast<Py_ssize_t>(key.length)));
  if (!text || !folded_.Of(text.get())) return false;
  lowered = folded_.key();
  return true;
}

}  // namespace native
