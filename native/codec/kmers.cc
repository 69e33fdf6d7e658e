#include "native/codec/kmers.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "kernels/kmers.h"
#include "kernels/text.h"
#include "native/codec/code_buffers.h"
#include "native/common/buffers.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/methods.h"
#include "native/common/ref.h"

namespace native {
namespace {

constexpr char kNotInAlphabet[] = "not in alphabet";

// base**k <= 2**64, for base >= 2.
bool PowerFits(uint64_t base, size_t k) {
  unsigned __int128 power = 1;
  const unsigned __int128 limit = static_cast<unsigned __int128>(1) << 64;
  for (size_t i = 0; i < k; ++i) {
    power *= base;
    if (power > limit) return false;
  }
  return true;
}

// The codes as 64-bit values (negative ones refused beforehand).
void CopyCodes(const CodeSource& source, uint64_t* out) {
  VisitCodes(source, [&](const auto* in) {
    std::transform(in, in + source.size(), out,
                   [](auto code) { return static_cast<uint64_t>(code); });
    return 0;
  });
}

// The kernel takes one-byte codes only; wider ones roll here, one k-mer
// from the one before it.  Every code is checked first, also when n < k.
template <class T>
size_t WideKmers(const T* codes, size_t n, size_t k, uint64_t base, uint64_t* out) {
  for (size_t i = 0; i < n; ++i) {
    if (static_cast<uint64_t>(codes[i]) >= base) return i;
  }
  if (n < k) return n;
  // Wrapping arithmetic is exact: every true intermediate is below base**k.
  uint64_t lead = 1;  // base**(k-1)
  for (size_t i = 0; i + 1 < k; ++i) lead *= base;
  uint64_t index = 0;
  for (size_t i = 0; i + 1 < k; ++i) index = index * base + static_cast<uint64_t>(codes[i]);
  for (size_t i = k - 1; i < n; ++i) {
    index = index * base + static_cast<uint64_t>(codes[i]);
    out[i + 1 - k] = index;
    index -= static_cast<uint64_t>(codes[i + 1 - k]) * lead;
  }
  return n;
}

// Signed codes come here checked to be non-negative: one-byte ones go to
// the kernel as unsigned ones.
size_t RunKmers(const CodeSource& source, size_t k, uint64_t base, uint64_t* out) {
  return VisitCodes(source, [&](const auto* in) {
    using T = std::remove_cv_t<std::remove_pointer_t<decltype(in)>>;
    if constexpr (sizeof(T) == 1) {
      return kernels::Kmers(reinterpret_cast<const uint8_t*>(in), source.size(), k, base, out);
    } else {
      return WideKmers(in, source.size(), k, base, out);
    }
  });
}

// A base: 0 .. 2**64 - 1 in `base`, or 2**64 itself (`two_64`); false with
// ValueError for a negative base or one above 2**64 (no k-mer fits then).
bool ParseBase(PyObject* object, uint64_t& base, bool& two_64) {
  PyObject* integer = PyNumber_Index(object);
  if (integer == nullptr) return false;
  two_64 = false;
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(integer, &overflow);
  bool ok = !(small == -1 && PyErr_Occurred());
  if (ok && overflow == 0 && small >= 0) {
    base = static_cast<uint64_t>(small);
  } else if (ok && overflow > 0) {
    base = PyLong_AsUnsignedLongLong(integer);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      PyObject* below = PyLong_FromUnsignedLongLong(UINT64_MAX);
      PyObject* one = PyLong_FromLong(1);
      PyObject* limit = below && one ? PyNumber_Add(below, one) : nullptr;
      const int equal = limit ? PyObject_RichCompareBool(integer, limit, Py_EQ) : -1;
      Py_XDECREF(below);
      Py_XDECREF(one);
      Py_XDECREF(limit);
      ok = two_64 = equal == 1;
      if (equal == 0) {
        PyErr_Format(PyExc_ValueError, "base**k must be at most 2**64; base %S is larger", integer);
      }
    }
  } else if (ok) {
    PyErr_Format(PyExc_ValueError, "base must not be negative, not %S", integer);
    ok = false;
  }
  Py_DECREF(integer);
  return ok;
}

// k as a count; false with ValueError below 1.  A k too large for a count
// gives no k-mer at all, which SIZE_MAX stands for.
bool ParseK(PyObject* object, size_t& k) {
  PyObject* integer = PyNumber_Index(object);
  if (integer == nullptr) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  Py_DECREF(integer);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 1)) {
    PyErr_SetString(PyExc_ValueError, "k must be at least 1");
    return false;
  }
  k = overflow > 0 ? SIZE_MAX : static_cast<size_t>(value);
  return true;
}

// The codes of a k-mer call: a buffer (read from a private copy, as each
// code is read when it enters a window and again when it leaves; negative
// codes refused at once, as they could pass for digits of a huge base), or
// ints gathered and checked against `limit`.  False with the exception set.
bool OpenKmerCodes(PyObject* codes, std::optional<uint64_t> limit, CodeSource& source) {
  if (PyUnicode_Check(codes)) {
    PyErr_SetString(PyExc_TypeError, "codes are ints, not a str");
    return false;
  }
  if (!CodeSource::IsBuffer(codes)) return source.Gather(codes, limit, kNotInAlphabet);
  if (!source.OpenBuffer(codes)) return false;
  source.Snapshot();
  const size_t negative = CodeSigned(source.type()) ? source.FirstOutside(limit) : source.size();
  if (negative < source.size()) {
    RaiseBadCode(source, negative, kNotInAlphabet);
    return false;
  }
  return true;
}

// The codes one byte each, for the kernels that take bytes: a buffer of
// bytes in place, any other converted into `copy`.  Returns the index of the
// first code at or above `limit` (at most 256), or n.
size_t AsBytes(const CodeSource& source, uint64_t limit, std::vector<uint8_t>& copy,
               const uint8_t*& bytes) {
  const size_t n = source.size();
  return VisitCodes(source, [&](const auto* in) -> size_t {
    using T = std::remove_cv_t<std::remove_pointer_t<decltype(in)>>;
    if constexpr (sizeof(T) == 1) {
      bytes = reinterpret_cast<const uint8_t*>(in);
      return limit >= 256 ? n : kernels::FirstAtLeast(bytes, n, static_cast<uint8_t>(limit));
    } else {
      copy.resize(n);
      for (size_t i = 0; i < n; ++i) {
        if (static_cast<uint64_t>(in[i]) >= limit) return i;
        copy[i] = static_cast<uint8_t>(in[i]);
      }
      bytes = copy.data();
      return n;
    }
  });
}

// The runs of codes below `base` between the codes at or above it, as
// [start, end) pairs, and how many k-mers they hold.
struct Stretch {
  size_t start;
  size_t end;
};

size_t FindStretches(const uint8_t* bytes, size_t n, uint64_t base, size_t k,
                     std::vector<Stretch>& stretches) {
  size_t windows = 0;
  for (size_t at = 0; at < n;) {
    const size_t end =
        base >= 256 ? n
                    : at + kernels::FirstAtLeast(bytes + at, n - at, static_cast<uint8_t>(base));
    if (end - at >= k) {
      stretches.push_back({at, end});
      windows += end - at - k + 1;
    }
    at = end + 1;
  }
  return windows;
}

// What the calls over byte codes take besides the codes: k, the base, the
// codes allowed (up to `limit`, those from `base` on ending windows when
// skipping), and the complement of each code for canonical k-mers.
struct KmerTerms {
  size_t k;
  uint64_t base;
  uint64_t limit;
  bool skip;
  uint8_t complement[256];
  bool canonical;
};

// Parses k, base, skip, limit and complement; false with the exception set.
bool ParseTerms(PyObject* k_object, PyObject* base_object, PyObject* complement, int skip,
                PyObject* limit_object, KmerTerms& terms) {
  bool two_64 = false;
  if (!ParseK(k_object, terms.k) || !ParseBase(base_object, terms.base, two_64)) return false;
  if (two_64 || terms.base > 256 || terms.base < 1) {
    PyErr_Format(PyExc_ValueError,
                 "canonical k-mers, skipping and minimizers need a base of 1 to 256, not %S",
                 base_object);
    return false;
  }
  if (!PowerFits(terms.base, terms.k) && terms.base >= 2) {
    PyErr_Format(PyExc_ValueError, "base**k must be at most 2**64 (base %S, k %S)", base_object,
                 k_object);
    return false;
  }
  terms.skip = skip != 0;
  terms.limit = terms.base;
  // Codes from the base up to the limit are allowed only to be skipped.
  if (terms.skip && limit_object != Py_None) {
    const Py_ssize_t limit = PyNumber_AsSsize_t(limit_object, PyExc_OverflowError);
    if (limit == -1 && PyErr_Occurred()) return false;
    if (limit < static_cast<Py_ssize_t>(terms.base) || limit > 256) {
      PyErr_Format(PyExc_ValueError, "limit must lie in [base, 256], not %zd", limit);
      return false;
    }
    terms.limit = static_cast<uint64_t>(limit);
  }
  terms.canonical = complement != Py_None;
  std::fill(std::begin(terms.complement), std::end(terms.complement), 0);
  if (terms.canonical) {
    PinnedBuffer table;
    if (!PinContiguous(complement, PyBUF_SIMPLE, table)) return false;
    const auto* entries = static_cast<const uint8_t*>(table.data());
    if (table.bytes() < terms.base) {
      PyErr_Format(PyExc_ValueError, "a complement table of %zu codes for base %llu", table.bytes(),
                   static_cast<unsigned long long>(terms.base));
      return false;
    }
    for (size_t code = 0; code < terms.base; ++code) {
      if (entries[code] >= terms.base) {
        PyErr_Format(PyExc_ValueError, "the complement of code %zu is %d, not below the base %llu",
                     code, entries[code], static_cast<unsigned long long>(terms.base));
        return false;
      }
      terms.complement[code] = entries[code];
    }
  }
  return true;
}

// The k-mers of a run of byte codes below the base.
void RunKernel(const KmerTerms& terms, const uint8_t* codes, size_t n, uint64_t* out) {
  if (terms.canonical) {
    kernels::CanonicalKmers(codes, n, terms.k, terms.base, terms.complement, out);
  } else {
    kernels::Kmers(codes, n, terms.k, terms.base, out);
  }
}

// Opens the codes as bytes below terms.limit; false with the exception set.
bool OpenByteCodes(PyObject* codes, const KmerTerms& terms, CodeSource& source,
                   std::vector<uint8_t>& copy, const uint8_t*& bytes) {
  if (!OpenKmerCodes(codes, terms.limit, source)) return false;
  const size_t refused = AsBytes(source, terms.limit, copy, bytes);
  if (refused == source.size()) return true;
  RaiseBadCode(source, refused, kNotInAlphabet);
  return false;
}

// Canonical or skipping k-mers, or their positions.
PyObject* ByteKmers(PyObject* codes, const KmerTerms& terms, bool positions) {
  CodeSource source;
  std::vector<uint8_t> copy;
  const uint8_t* bytes = nullptr;
  if (!OpenByteCodes(codes, terms, source, copy, bytes)) return nullptr;
  const size_t n = source.size();
  std::vector<Stretch> stretches;
  size_t windows = kernels::KmerCount(n, terms.k);
  if (terms.skip) {
    windows = FindStretches(bytes, n, terms.base, terms.k, stretches);
  } else if (windows > 0) {
    stretches.push_back({0, n});
  }
  CodeOutput result;
  if (!result.Make(8, windows)) return nullptr;
  auto* out = static_cast<uint64_t*>(result.data());
  Unlocked(n, [&] {
    for (const Stretch& s : stretches) {
      const size_t count = s.end - s.start - terms.k + 1;
      if (positions) {
        for (size_t i = 0; i < count; ++i) out[i] = s.start + i;
      } else {
        RunKernel(terms, bytes + s.start, s.end - s.start, out);
      }
      out += count;
    }
  });
  return result.Take();
}

PyObject* Kmers(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"codes", "k", "base", "complement", "skip", "limit", nullptr};
  PyObject *codes, *k_object, *base_object, *complement = Py_None, *limit = Py_None;
  int skip = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OpO:kmers", const_cast<char**>(keywords),
                                   &codes, &k_object, &base_object, &complement, &skip, &limit)) {
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    if (complement != Py_None || skip || limit != Py_None) {
      KmerTerms terms{};
      if (!ParseTerms(k_object, base_object, complement, skip, limit, terms)) return nullptr;
      return ByteKmers(codes, terms, /*positions=*/false);
    }
    size_t k;
    uint64_t base;
    bool two_64;
    if (!ParseK(k_object, k) || !ParseBase(base_object, base, two_64)) return nullptr;
    if ((two_64 && k != 1) || (base >= 2 && !PowerFits(base, k))) {
      PyErr_Format(PyExc_ValueError, "base**k must be at most 2**64 (base %S, k %S)", base_object,
                   k_object);
      return nullptr;
    }
    // Base 2**64 bounds no 64-bit code; with k == 1 each code is its k-mer.
    const std::optional<uint64_t> bound = two_64 ? std::nullopt : std::optional(base);
    CodeSource source;
    if (!OpenKmerCodes(codes, bound, source)) return nullptr;
    const size_t n = source.size();
    CodeOutput result;
    if (!result.Make(8, n >= k ? n - k + 1 : 0)) return nullptr;
    auto* out = static_cast<uint64_t*>(result.data());
    const size_t refused = Unlocked(n, [&] {
      if (!two_64) return RunKmers(source, k, base, out);
      CopyCodes(source, out);
      return n;
    });
    if (refused < n) {
      RaiseBadCode(source, refused, kNotInAlphabet);
      return nullptr;
    }
    return result.Take();
  });
}

PyObject* KmerPositions(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"codes", "k", "base", "skip", "limit", nullptr};
  PyObject *codes, *k_object, *base_object, *limit = Py_None;
  int skip = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$pO:kmer_positions",
                                   const_cast<char**>(keywords), &codes, &k_object, &base_object,
                                   &skip, &limit)) {
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    KmerTerms terms{};
    if (!ParseTerms(k_object, base_object, Py_None, skip, limit, terms)) return nullptr;
    return ByteKmers(codes, terms, /*positions=*/true);
  });
}

// Windows of minimizers are found this many at a time, their k-mers in a
// buffer that stays in the cache.
constexpr size_t kMinimizerChunk = size_t{1} << 14;

PyObject* Minimizers(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"codes", "k", "w", "base", "complement", nullptr};
  PyObject *codes, *k_object, *base_object, *complement = Py_None;
  Py_ssize_t w;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOnO|$O:minimizers", const_cast<char**>(keywords),
                                   &codes, &k_object, &w, &base_object, &complement)) {
    return nullptr;
  }
  if (w < 1) {
    PyErr_Format(PyExc_ValueError, "w must be at least 1, not %zd", w);
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    KmerTerms terms{};
    if (!ParseTerms(k_object, base_object, complement, 0, Py_None, terms)) return nullptr;
    CodeSource source;
    std::vector<uint8_t> copy;
    const uint8_t* bytes = nullptr;
    if (!OpenByteCodes(codes, terms, source, copy, bytes)) return nullptr;
    const size_t n = source.size();
    const size_t count = kernels::KmerCount(n, terms.k);
    const size_t window = static_cast<size_t>(w);
    const size_t windows = count >= window ? count - window + 1 : 0;
    // At most one minimizer per window; the pages past those found are never
    // touched.
    const auto positions = std::make_unique_for_overwrite<uint64_t[]>(windows + 1);
    const auto values = std::make_unique_for_overwrite<uint64_t[]>(windows + 1);
    size_t found = 0;
    Unlocked(n, [&] {
      std::vector<uint64_t> kmers(std::min(windows, kMinimizerChunk) + window - 1);
      kernels::MinimizerScratch scratch;
      uint64_t last = UINT64_MAX;
      for (size_t start = 0; start < windows; start += kMinimizerChunk) {
        const size_t chunk = std::min(kMinimizerChunk, windows - start);
        const size_t chunk_kmers = chunk + window - 1;
        RunKernel(terms, bytes + start, chunk_kmers + terms.k - 1, kmers.data());
        found += kernels::Minimizers(kmers.data(), chunk_kmers, window, start, last,
                                     positions.get() + found, values.get() + found, scratch);
      }
    });
    CodeOutput made_positions, made_values;
    if (!made_positions.Make(8, found) || !made_values.Make(8, found)) return nullptr;
    std::copy(positions.get(), positions.get() + found,
              static_cast<uint64_t*>(made_positions.data()));
    std::copy(values.get(), values.get() + found, static_cast<uint64_t*>(made_values.data()));
    const Ref first(made_positions.Take()), second(made_values.Take());
    return PyTuple_Pack(2, first.get(), second.get());
  });
}

PyMethodDef kmer_functions[] = {
    {"kmers", AsMethod(&Kmers), METH_VARARGS | METH_KEYWORDS,
     "kmers(codes, k, base, *, complement=None, skip=False, limit=None)\n--\n\n"
     "The rolling k-mer indices of codes read as digits in base, the first\n"
     "code most significant: an array('Q') of max(0, len(codes) - k + 1) items.\n"
     "Needs k >= 1 and base**k <= 2**64 (ValueError); a code >= base raises\n"
     "AlphabetError naming it and its position.  With complement (a table of\n"
     "each code's complement), each k-mer is the smaller of its own and that\n"
     "of its reverse complement.  With skip, codes from base up to limit end\n"
     "the windows that hold them, which are left out.  Both need a base of at\n"
     "most 256."},
    {"kmer_positions", AsMethod(&KmerPositions), METH_VARARGS | METH_KEYWORDS,
     "kmer_positions(codes, k, base, *, skip=False, limit=None)\n--\n\n"
     "The start of each window kmers() gives a k-mer for, as an array('Q')."},
    {"minimizers", AsMethod(&Minimizers), METH_VARARGS | METH_KEYWORDS,
     "minimizers(codes, k, w, base, *, complement=None)\n--\n\n"
     "(positions, values): for each window of w consecutive k-mers (as kmers()\n"
     "gives them), the one whose mix is smallest, the leftmost of equals, each\n"
     "reported once while it stays the minimum; two array('Q')."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool AddKmerFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, kmer_functions) == 0;
}

}  // namespace native
