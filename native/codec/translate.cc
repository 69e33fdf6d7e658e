#include "native/codec/translate.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "kernels/byte_map.h"
#include "kernels/models.h"
#include "kernels/translate.h"
#include "native/codec/code_buffers.h"
#include "native/common/errors.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/methods.h"
#include "native/common/ref.h"

namespace native {
namespace {

// The nucleotide codes, those of iupac_dna(): the bases, the ambiguity codes
// and the gap.
constexpr char kNucleotides[] = "ACGTRYSWKMBDHVN-";
constexpr uint8_t kGap = 15;
// The bases each code stands for, a bit per base in code order.
constexpr uint8_t kBases[16] = {1, 2, 4, 8, 5, 10, 6, 9, 12, 3, 14, 13, 11, 7, 15, 0};
// Each code's complement.
constexpr char kComplements[] = "TGCAYRSWMKVHDBN-";
// A table entry for a codon that cannot be translated (a gap beside bases).
constexpr uint8_t kUntranslatable = 0;

// Text -> nucleotide code: either case, U for T.
const kernels::ByteMap& TextMap() {
  static const kernels::ByteMap map = [] {
    std::array<int32_t, 256> images;
    images.fill(-1);
    for (int code = 0; code < 16; ++code) {
      const auto c = static_cast<unsigned char>(kNucleotides[code]);
      images[c] = code;
      if (c >= 'A' && c <= 'Z') images[c - 'A' + 'a'] = code;
    }
    images['U'] = images['u'] = 3;
    return kernels::ByteMap(images);
  }();
  return map;
}

// Code -> the code of its complement.
const kernels::ByteMap& ComplementMap() {
  static const kernels::ByteMap map = [] {
    std::array<int32_t, 256> images;
    images.fill(-1);
    for (int code = 0; code < 16; ++code) {
      images[code] =
          static_cast<int32_t>(std::strchr(kNucleotides, kComplements[code]) - kNucleotides);
    }
    return kernels::ByteMap(images);
  }();
  return map;
}

// What the codons that a codon with ambiguity codes stands for agree on:
// their one amino acid (or '*' when all stop), B, Z or J for exactly D and
// N, E and Q, I and L, else X.
uint8_t Resolve(const char* amino_acids, int first, int second, int third) {
  bool seen[256] = {};
  int distinct = 0;
  uint8_t only = 0;
  for (int a = 0; a < 4; ++a) {
    if (!(kBases[first] >> a & 1)) continue;
    for (int b = 0; b < 4; ++b) {
      if (!(kBases[second] >> b & 1)) continue;
      for (int c = 0; c < 4; ++c) {
        if (!(kBases[third] >> c & 1)) continue;
        const auto amino = static_cast<uint8_t>(amino_acids[a * 16 + b * 4 + c]);
        if (!seen[amino]) ++distinct;
        seen[amino] = true;
        only = amino;
      }
    }
  }
  if (distinct == 1) return only;
  if (distinct == 2) {
    if (seen['D'] && seen['N']) return 'B';
    if (seen['E'] && seen['Q']) return 'Z';
    if (seen['I'] && seen['L']) return 'J';
  }
  return 'X';
}

PyObject* CodonTable(PyObject*, PyObject* amino_acids) {
  if (!PyUnicode_Check(amino_acids) || !PyUnicode_IS_ASCII(amino_acids) ||
      PyUnicode_GET_LENGTH(amino_acids) != 64) {
    PyErr_SetString(PyExc_ValueError,
                    "a genetic code is 64 ASCII letters, one per codon of A C G T in order");
    return nullptr;
  }
  const auto* letters = static_cast<const char*>(PyUnicode_DATA(amino_acids));
  PyObject* table = PyBytes_FromStringAndSize(nullptr, kernels::kCodonTableSize);
  if (table == nullptr) return nullptr;
  auto* entries = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(table));
  for (int first = 0; first < 16; ++first) {
    for (int second = 0; second < 16; ++second) {
      for (int third = 0; third < 16; ++third) {
        const int gaps = (first == kGap) + (second == kGap) + (third == kGap);
        entries[first << 8 | second << 4 | third] = gaps == 3 ? '-'
                                                    : gaps != 0
                                                        ? kUntranslatable
                                                        : Resolve(letters, first, second, third);
      }
    }
  }
  return table;
}

// ---- the nucleotides of a sequence

// A sequence's nucleotide codes: a text mapped, or codes read from a buffer
// or a list (the codes of iupac_dna(), whose first four are dna()'s and
// rna()'s).  False with AlphabetError naming a character or code without a
// nucleotide and its position.
bool ReadNucleotides(PyObject* sequence, std::unique_ptr<uint8_t[]>& out, size_t& n) {
  if (PyUnicode_Check(sequence)) {
    n = static_cast<size_t>(PyUnicode_GET_LENGTH(sequence));
    out = std::make_unique_for_overwrite<uint8_t[]>(n + 1);
    size_t refused = 0;
    const int kind = PyUnicode_KIND(sequence);
    const void* data = PyUnicode_DATA(sequence);
    Unlocked(n, [&] {
      refused = kind == PyUnicode_1BYTE_KIND
                    ? kernels::TranslateChecked(static_cast<const uint8_t*>(data), out.get(), n,
                                                TextMap())
                : kind == PyUnicode_2BYTE_KIND
                    ? kernels::TranslateWideChecked(static_cast<const uint16_t*>(data), out.get(),
                                                    n, TextMap())
                    : kernels::TranslateWideChecked(static_cast<const uint32_t*>(data), out.get(),
                                                    n, TextMap());
    });
    if (refused < n) {
      const Ref character(PyUnicode_Substring(sequence, static_cast<Py_ssize_t>(refused),
                                              static_cast<Py_ssize_t>(refused) + 1));
      const Ref message(character
                            ? PyUnicode_FromFormat("Symbol %R is not a nucleotide at position %zu",
                                                   character.get(), refused)
                            : nullptr);
      if (message) RaiseAlphabetError(message.get(), static_cast<Py_ssize_t>(refused));
      return false;
    }
    return true;
  }
  CodeSource source;
  if (CodeSource::IsBuffer(sequence) ? !source.OpenBuffer(sequence)
                                     : !source.Gather(sequence, 16, "is not a nucleotide")) {
    return false;
  }
  n = source.size();
  out = std::make_unique_for_overwrite<uint8_t[]>(n + 1);
  CodeValue bad{};
  const size_t stop = Unlocked(n, [&] {
    return VisitCodes(source, [&](const auto* in) {
      for (size_t i = 0; i < n; ++i) {
        const auto code = ReadOnce(in + i);
        if (!CodeBelow(code, 16, bad)) return i;
        out[i] = static_cast<uint8_t>(code);
      }
      return n;
    });
  });
  if (stop < n) {
    RaiseBadCode(bad, stop, "is not a nucleotide");
    return false;
  }
  return true;
}

// Codons translated a block at a time, so that a stop ends the work early.
constexpr size_t kBlockCodons = 4096;

// The amino acids of the codons of `nucleotides` from `frame` on, up to the
// first stop with `to_stop`, as an ASCII str; AlphabetError for a codon
// that mixes a gap with bases.
PyObject* TranslateFrame(const uint8_t* nucleotides, size_t n, size_t frame, bool to_stop,
                         const uint8_t* table) {
  const size_t codons = n > frame ? (n - frame) / 3 : 0;
  Ref text(PyUnicode_New(static_cast<Py_ssize_t>(codons), 127));
  if (!text) return nullptr;
  auto* out = static_cast<uint8_t*>(PyUnicode_DATA(text.get()));
  const uint8_t* in = nucleotides + frame;
  std::optional<size_t> stop, untranslatable;
  Unlocked(3 * codons, [&] {
    for (size_t done = 0; done < codons; done += kBlockCodons) {
      const size_t count = std::min(kBlockCodons, codons - done);
      kernels::TranslateCodons(in + 3 * done, count, table, out + done);
      const void* zero = std::memchr(out + done, kUntranslatable, count);
      const void* star = to_stop ? std::memchr(out + done, '*', count) : nullptr;
      if (zero != nullptr) untranslatable = static_cast<const uint8_t*>(zero) - out;
      if (star != nullptr) stop = static_cast<const uint8_t*>(star) - out;
      if (zero != nullptr || star != nullptr) return;
    }
  });
  if (untranslatable && (!stop || *untranslatable < *stop)) {
    const size_t at = frame + 3 * *untranslatable;
    const uint8_t* codon = nucleotides + at;
    const char shown[4] = {kNucleotides[codon[0]], kNucleotides[codon[1]], kNucleotides[codon[2]],
                           0};
    const Ref message(
        PyUnicode_FromFormat("codon '%s' at position %zu mixes a gap with bases", shown, at));
    if (message) RaiseAlphabetError(message.get(), static_cast<Py_ssize_t>(at));
    return nullptr;
  }
  if (stop) return PyUnicode_Substring(text.get(), 0, static_cast<Py_ssize_t>(*stop));
  return text.Take();
}

// The 4096 bytes of a codon table given by the package.
bool PinTable(PyObject* object, PinnedBuffer& table) {
  if (!PinContiguous(object, PyBUF_SIMPLE, table)) return false;
  if (table.bytes() == kernels::kCodonTableSize) return true;
  PyErr_Format(PyExc_ValueError, "a codon table holds %zu bytes, not %zu", kernels::kCodonTableSize,
               table.bytes());
  return false;
}

PyObject* Translate(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"sequence", "table", "frame", "to_stop", nullptr};
  PyObject *sequence, *table_object;
  Py_ssize_t frame = 0;
  int to_stop = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|np:translate", const_cast<char**>(keywords),
                                   &sequence, &table_object, &frame, &to_stop)) {
    return nullptr;
  }
  if (frame < 0 || frame > 2) {
    PyErr_Format(PyExc_ValueError, "frame is 0, 1 or 2, not %zd", frame);
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    PinnedBuffer table;
    std::unique_ptr<uint8_t[]> nucleotides;
    size_t n = 0;
    if (!PinTable(table_object, table) || !ReadNucleotides(sequence, nucleotides, n)) {
      return nullptr;
    }
    return TranslateFrame(nucleotides.get(), n, static_cast<size_t>(frame), to_stop != 0,
                          static_cast<const uint8_t*>(table.data()));
  });
}

PyObject* SixFrames(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"sequence", "table", nullptr};
  PyObject *sequence, *table_object;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:six_frames", const_cast<char**>(keywords),
                                   &sequence, &table_object)) {
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    PinnedBuffer table;
    std::unique_ptr<uint8_t[]> forward;
    size_t n = 0;
    if (!PinTable(table_object, table) || !ReadNucleotides(sequence, forward, n)) return nullptr;
    const auto reverse = std::make_unique_for_overwrite<uint8_t[]>(n + 1);
    Unlocked(n, [&] {
      kernels::ReverseTranslateChecked(forward.get(), reverse.get(), n, ComplementMap());
    });
    const auto* codons = static_cast<const uint8_t*>(table.data());
    Ref frames(PyTuple_New(6));
    for (size_t i = 0; frames && i < 6; ++i) {
      PyObject* frame = TranslateFrame(i < 3 ? forward.get() : reverse.get(), n, i % 3,
                                       /*to_stop=*/false, codons);
      if (frame == nullptr) return nullptr;
      PyTuple_SET_ITEM(frames.get(), static_cast<Py_ssize_t>(i), frame);
    }
    return frames.Take();
  });
}

PyMethodDef translate_functions[] = {
    {"codon_table", CodonTable, METH_O,
     "codon_table(amino_acids, /)\n--\n\n"
     "The 4096-byte table of a genetic code for translate: amino_acids gives\n"
     "the letter of each codon of A C G T (A C G T for the first base, then the\n"
     "second, then the third: AAA, AAC, AAG, AAT, ACA, ...), '*' for a stop.\n"
     "A codon with ambiguity codes gets what all its codons agree on (the one\n"
     "letter, B for D or N, Z for E or Q, J for I or L, else X); '---' gets '-'."},
    {"translate", AsMethod(&Translate), METH_VARARGS | METH_KEYWORDS,
     "translate(sequence, table, frame=0, to_stop=False)\n--\n\n"
     "The amino acids of the codons of sequence (DNA or RNA text in either case,\n"
     "or codes of iupac_dna()) read from frame, the incomplete tail dropped, as\n"
     "a str; with to_stop, up to the first stop.  AlphabetError names what is\n"
     "no nucleotide, or a codon that mixes a gap with bases."},
    {"six_frames", AsMethod(&SixFrames), METH_VARARGS | METH_KEYWORDS,
     "six_frames(sequence, table)\n--\n\n"
     "The translations of frames 0, 1 and 2 of sequence, then of its reverse\n"
     "complement."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool AddTranslateFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, translate_functions) == 0;
}

}  // namespace native
