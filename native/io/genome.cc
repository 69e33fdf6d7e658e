#include "native/io/genome.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/gil.h"
#include "formats/bgzf.h"
#include "formats/fasta_index.h"
#include "formats/genome_file.h"
#include "formats/region.h"
#include "kernels/byte_map.h"
#include "kernels/translate.h"
#include "native/codec/codec.h"
#include "native/common/errors.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/methods.h"
#include "native/common/ref.h"
#include "native/io/record.h"

namespace native {
namespace {

PyTypeObject* genome_type = nullptr;

// What a Genome keeps beyond Python objects.  The file is shared with the
// fetches running on other threads, so that close() never pulls it from
// under them; so are the complements of the alphabet last fetched with.
struct GenomeState {
  std::shared_ptr<formats::GenomeFile> file;
  std::shared_ptr<const kernels::ByteMap> complements;
};

struct GenomeObject {
  PyObject_HEAD GenomeState* state;
  PyObject* path;   // str
  PyObject* names;  // tuple of str, in the index's order
  PyObject* index;  // dict: name -> position
  // The alphabet last fetched with and its codec: most callers use one.
  PyObject* alphabet;
  PyObject* codec;
  bool fastq;
};

GenomeObject* AsGenome(PyObject* self) { return reinterpret_cast<GenomeObject*>(self); }

// ---- Texts and paths

PyObject* NameText(std::string_view name) {
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
}

// The file system path of a str, bytes or os.PathLike; false with an
// exception set.
bool PathOf(PyObject* given, std::string& path) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(given, &encoded) == 0) return false;
  const Ref held(encoded);
  path.assign(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
  return true;
}

// OSError with a message of the formats' (a file system's text, which may
// not be UTF-8).
void RaiseOSError(const std::string& error) {
  const Ref message(NameText(error));
  if (message) PyErr_SetObject(PyExc_OSError, message.get());
}

void RaiseIndexError(const formats::IndexError& error) {
  RaiseFormatError(error.message, error.line);
}

// The complement of each base as genome tools give it: the IUPAC codes
// pair up (A-T, C-G, R-Y, K-M, B-V, D-H; U gives A; S, W and N are their
// own), in either case; any other byte is its own.
constexpr std::array<char, 256> MakeTextComplements() {
  std::array<char, 256> table{};
  for (int c = 0; c < 256; ++c) table[static_cast<size_t>(c)] = static_cast<char>(c);
  const char pairs[][2] = {{'A', 'T'}, {'C', 'G'}, {'R', 'Y'}, {'K', 'M'}, {'B', 'V'}, {'D', 'H'}};
  for (const auto& pair : pairs) {
    for (int lower = 0; lower < 2; ++lower) {
      const char a = static_cast<char>(pair[0] + lower * 32),
                 b = static_cast<char>(pair[1] + lower * 32);
      table[static_cast<unsigned char>(a)] = b;
      table[static_cast<unsigned char>(b)] = a;
    }
  }
  table['U'] = 'A';
  table['u'] = 'a';
  return table;
}
constexpr std::array<char, 256> kTextComplements = MakeTextComplements();

void ReverseComplementText(char* text, size_t n) {
  std::reverse(text, text + n);
  for (size_t i = 0; i < n; ++i) text[i] = kTextComplements[static_cast<unsigned char>(text[i])];
}

// ---- Looking sequences up

// The position of sequence `name` (a str); -1 with KeyError naming it when
// the index has none, -2 with another exception set.
Py_ssize_t Find(GenomeObject* genome, PyObject* name) {
  PyObject* found = PyDict_GetItemWithError(genome->index, name);
  if (found != nullptr) return PyLong_AsSsize_t(found);
  if (PyErr_Occurred()) return -2;
  PyErr_SetObject(PyExc_KeyError, name);
  return -1;
}

// The file, held for the call: Python code that runs meanwhile (a
// finalizer that an allocation's collection calls, say) may close the
// genome.  Null with ValueError once it is closed.
using File = std::shared_ptr<formats::GenomeFile>;
File OpenFile(GenomeObject* genome) {
  File file = genome->state->file;
  if (!file) PyErr_SetString(PyExc_ValueError, "the genome is closed");
  return file;
}

// One end of a 0-based range, with slicing's rules: negative counts from the
// end, anything outside [0, length] is clamped to it.
bool SliceBound(PyObject* given, uint64_t length, uint64_t fallback, uint64_t& bound) {
  if (given == Py_None) {
    bound = fallback;
    return true;
  }
  const Ref index(PyNumber_Index(given));
  if (!index) return false;
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0) {
    bound = overflow > 0 ? length : 0;
    return true;
  }
  const auto signed_length = static_cast<long long>(length);
  if (value < 0) value = std::max(0LL, value + signed_length);
  bound = static_cast<uint64_t>(std::min(value, signed_length));
  return true;
}

struct Located {
  File file;  // held from the lookup to the read
  Py_ssize_t sequence = 0;
  uint64_t begin = 0, end = 0;
  bool truncated = false;
};

// Where a region given as a text of the tools' form lies; false with an
// exception set.
bool LocateText(GenomeObject* genome, PyObject* region, Located& located) {
  const Ref encoded(PyUnicode_AsEncodedString(region, "utf-8", "surrogateescape"));
  if (!encoded) return false;
  const std::string_view text(PyBytes_AS_STRING(encoded.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  bool lookup_failed = false;
  auto has_name = [&](std::string_view name) {
    if (lookup_failed) return false;
    const Ref key(NameText(name));
    const int found = key ? PyDict_Contains(genome->index, key.get()) : -1;
    lookup_failed = found < 0;
    return found > 0;
  };
  formats::Region parsed;
  std::string message;
  const formats::RegionFault fault =
      Guarded([&] { return formats::ParseRegion(text, has_name, parsed, message); });
  if (lookup_failed || PyErr_Occurred()) return false;
  if (fault != formats::RegionFault::kNone) {
    const Ref reason(NameText(message));
    if (reason) PyErr_Format(PyExc_ValueError, "region %R: %U", region, reason.get());
    return false;
  }
  const Ref name(NameText(parsed.name));
  if (!name) return false;
  located.sequence = Find(genome, name.get());
  if (located.sequence < 0) return false;
  const formats::Span span =
      formats::Resolve(parsed, located.file->entry(static_cast<size_t>(located.sequence)).length);
  located.begin = span.begin;
  located.end = span.end;
  located.truncated = span.truncated;
  return true;
}

// Where fetch's (region, start, end) lie; false with an exception set.
bool Locate(GenomeObject* genome, PyObject* region, PyObject* start, PyObject* end,
            Located& located) {
  if (!PyUnicode_Check(region)) {
    PyErr_Format(PyExc_TypeError, "the region is a str, not %.200s", Py_TYPE(region)->tp_name);
    return false;
  }
  located.file = OpenFile(genome);
  if (!located.file) return false;
  located.truncated = false;
  // A text without ':' that opens no brace can only be a name: looked up
  // at once, the common case of fetch(name, start, end) included.
  const Py_ssize_t size = PyUnicode_GET_LENGTH(region);
  const bool by_name = start != Py_None || end != Py_None ||
                       (PyUnicode_FindChar(region, ':', 0, size, 1) < 0 &&
                        (size == 0 || PyUnicode_READ_CHAR(region, 0) != '{'));
  if (!by_name) return LocateText(genome, region, located);
  located.sequence = Find(genome, region);
  if (located.sequence < 0) return false;
  const uint64_t length = located.file->entry(static_cast<size_t>(located.sequence)).length;
  if (!SliceBound(start, length, 0, located.begin) ||
      !SliceBound(end, length, length, located.end)) {
    return false;
  }
  if (located.end < located.begin) located.end = located.begin;
  return true;
}

// ---- Fetching

// The size of a read for Unlocked: decoding a BGZF block is long work
// whatever the region's length.
size_t WorkOf(const formats::GenomeFile& file, uint64_t count) {
  return file.bgzf() ? kUnlockedFrom : static_cast<size_t>(count);
}

// Reads the bases of `located` into `out` with the interpreter lock
// released when the read is long or decodes a block; reverse-complements
// the text when asked.  False with an exception set.
bool FetchInto(GenomeObject* genome, const Located& located, char* out, bool complement_text) {
  const formats::GenomeFile* file = located.file.get();
  const uint64_t count = located.end - located.begin;
  int64_t got = 0;
  std::string error;
  bool memory = true;
  auto work = [&] {
    memory = !RanOutOfMemory([&] {
      got = file->Fetch(static_cast<size_t>(located.sequence), located.begin, located.end, out,
                        error);
      if (complement_text && got == static_cast<int64_t>(count)) {
        ReverseComplementText(out, static_cast<size_t>(count));
      }
    });
  };
  Unlocked(WorkOf(*file, count), work);
  if (!memory) {
    PyErr_NoMemory();
    return false;
  }
  if (got < 0) {
    RaiseOSError(error);
    return false;
  }
  if (got != static_cast<int64_t>(count)) {
    PyErr_Format(PyExc_OSError,
                 "the file ends inside sequence %R: it changed after its index was made",
                 PyTuple_GET_ITEM(genome->names, located.sequence));
    return false;
  }
  return true;
}

PyObject* FetchText(GenomeObject* genome, const Located& located, bool reverse_complement) {
  const uint64_t count = located.end - located.begin;
  if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  Ref text(PyUnicode_New(static_cast<Py_ssize_t>(count), 127));
  if (!text) return nullptr;
  // Nothing else refers to the new text yet: it is filled without the lock.
  if (count > 0 && !FetchInto(genome, located, static_cast<char*>(PyUnicode_DATA(text.get())),
                              reverse_complement)) {
    return nullptr;
  }
  return text.Take();
}

// The codec of `alphabet` and the complements of its codes, kept from the
// last fetch when it is the same alphabet.
bool CodecFor(GenomeObject* genome, PyObject* alphabet, bool need_complements, Ref& codec,
              std::shared_ptr<const kernels::ByteMap>& complements) {
  if (alphabet != genome->alphabet) {
    Ref made(PyObject_CallMethod(alphabet, "_codec", nullptr));
    if (!made) {
      if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "alphabet must be an Alphabet or None, not %.200s",
                     Py_TYPE(alphabet)->tp_name);
      }
      return false;
    }
    const CodecTables* tables = TablesOfCodec(made.get());
    if (tables == nullptr) return false;
    if (!tables->one_char) {
      PyErr_SetString(PyExc_TypeError, "fetching codes needs an alphabet of one-character symbols");
      return false;
    }
    const Ref table(PyObject_GetAttrString(alphabet, "_complements"));
    if (!table) return false;
    std::shared_ptr<const kernels::ByteMap> map;
    if (table.get() != Py_None) {
      if (!PyBytes_Check(table.get())) {
        PyErr_SetString(PyExc_TypeError, "the alphabet's complements are not a table of codes");
        return false;
      }
      std::array<int32_t, 256> images;
      images.fill(kernels::ByteMap::kNoImage);
      const auto* codes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(table.get()));
      const size_t size = std::min<size_t>(256, static_cast<size_t>(PyBytes_GET_SIZE(table.get())));
      for (size_t code = 0; code < size; ++code) images[code] = codes[code];
      const bool made_map = Guarded([&] {
        map = std::make_shared<const kernels::ByteMap>(images);
        return true;
      });
      if (!made_map) return false;
    }
    Py_XSETREF(genome->alphabet, Py_NewRef(alphabet));
    Py_XSETREF(genome->codec, made.Take());
    genome->state->complements = std::move(map);
  }
  if (need_complements && !genome->state->complements) {
    PyErr_SetString(PyExc_TypeError,
                    "this alphabet declares no complements; give them with "
                    "Alphabet(..., complements=...) or with_options(complements=...)");
    return false;
  }
  codec = Ref::Of(genome->codec);
  complements = genome->state->complements;
  return true;
}

PyObject* FetchCodes(GenomeObject* genome, const Located& located, PyObject* alphabet,
                     bool reverse_complement) {
  Ref codec;
  std::shared_ptr<const kernels::ByteMap> complements;
  if (!CodecFor(genome, alphabet, reverse_complement, codec, complements)) return nullptr;
  const uint64_t count = located.end - located.begin;
  // The text goes through a buffer of the call's own, never a Python
  // object: only the codes are made.
  std::unique_ptr<char[]> text;
  const bool sized = Guarded([&] {
    text = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(count) + 1);
    return true;
  });
  if (!sized || (count > 0 && !FetchInto(genome, located, text.get(), false))) return nullptr;
  const CodecTables* tables = TablesOfCodec(codec.get());
  Ref codes(EncodeLatin1(*tables, reinterpret_cast<const uint8_t*>(text.get()),
                         static_cast<size_t>(count)));
  text.reset();
  if (!codes || !reverse_complement) return codes.Take();
  // Complemented alphabets have at most 256 symbols: the codes are bytes.
  Ref reversed(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count)));
  if (!reversed) return nullptr;
  const auto* in = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(codes.get()));
  auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(reversed.get()));
  const size_t refused = Unlocked(static_cast<size_t>(count), [&] {
    return kernels::ReverseTranslateChecked(in, out, static_cast<size_t>(count), *complements);
  });
  if (refused != count) {
    PyErr_SetString(PyExc_ValueError, "the alphabet's complements do not cover its codes");
    return nullptr;
  }
  return reversed.Take();
}

// fetch(region, start=None, end=None, *, alphabet=None, reverse_complement=False)
PyObject* GenomeFetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kKeywords[] = {"region", "start", "end", "alphabet",
                                              "reverse_complement"};
  constexpr Py_ssize_t kPositional = 3;
  PyObject* values[5] = {nullptr, Py_None, Py_None, Py_None, Py_False};
  if (nargs > kPositional) {
    PyErr_Format(PyExc_TypeError, "fetch() takes at most 3 positional arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  std::copy(args, args + nargs, values);
  const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t which = 0;
    while (which < 5 && !PyUnicode_EqualToUTF8(keyword, kKeywords[which])) ++which;
    if (which == 5) {
      PyErr_Format(PyExc_TypeError, "fetch() got an unexpected keyword argument %R", keyword);
      return nullptr;
    }
    if (which < nargs) {
      PyErr_Format(PyExc_TypeError, "fetch() got multiple values for argument %R", keyword);
      return nullptr;
    }
    values[which] = args[nargs + k];
  }
  if (values[0] == nullptr) {
    PyErr_SetString(PyExc_TypeError, "fetch() missing required argument 'region'");
    return nullptr;
  }
  const int reverse_complement = PyObject_IsTrue(values[4]);
  if (reverse_complement < 0) return nullptr;
  GenomeObject* genome = AsGenome(self);
  Located located;
  if (!Locate(genome, values[0], values[1], values[2], located)) return nullptr;
  if (values[3] == Py_None) return FetchText(genome, located, reverse_complement != 0);
  return FetchCodes(genome, located, values[3], reverse_complement != 0);
}

// resolve(region) -> (name, start, end, truncated)
PyObject* GenomeResolve(PyObject* self, PyObject* region) {
  GenomeObject* genome = AsGenome(self);
  Located located;
  if (!Locate(genome, region, Py_None, Py_None, located)) return nullptr;
  return Py_BuildValue("(OKKO)", PyTuple_GET_ITEM(genome->names, located.sequence),
                       static_cast<unsigned long long>(located.begin),
                       static_cast<unsigned long long>(located.end),
                       located.truncated ? Py_True : Py_False);
}

// record(name) -> Record: a FASTQ record whole, its header split as the
// reader splits it.
PyObject* GenomeRecord(PyObject* self, PyObject* name) {
  GenomeObject* genome = AsGenome(self);
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "a record id is a str, not %.200s", Py_TYPE(name)->tp_name);
    return nullptr;
  }
  if (!genome->fastq) {
    PyErr_SetString(PyExc_TypeError, "the file is FASTA: its records have no quality");
    return nullptr;
  }
  const File file = OpenFile(genome);
  if (!file) return nullptr;
  const Py_ssize_t position = Find(genome, name);
  if (position < 0) return nullptr;
  const auto i = static_cast<size_t>(position);
  std::string header, error;
  const bool read = Guarded(
      [&] { return Unlocked(WorkOf(*file, 0), [&] { return file->Header(i, header, error); }); });
  if (!read) {
    if (!PyErr_Occurred()) {
      RaiseOSError(error);
    }
    return nullptr;
  }
  // The id is the first word, the description what follows the first run
  // of blanks.
  constexpr std::string_view kBlanks = " \t\v\f\r";
  const size_t id_end = std::min(header.find_first_of(kBlanks), header.size());
  const size_t rest = std::min(header.find_first_not_of(kBlanks, id_end), header.size());
  Ref id(NameText(std::string_view(header).substr(0, id_end)));
  Ref description(NameText(std::string_view(header).substr(rest)));
  if (!id || !description) return nullptr;
  Located whole;
  whole.file = file;
  whole.sequence = position;
  whole.end = file->entry(i).length;
  Ref sequence(FetchText(genome, whole, false));
  if (!sequence) return nullptr;
  const uint64_t length = file->entry(i).length;
  Ref quality(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
  if (!quality) return nullptr;
  int64_t got = 0;
  char* const out = static_cast<char*>(PyUnicode_DATA(quality.get()));
  const bool memory = !RanOutOfMemory(
      [&] { Unlocked(WorkOf(*file, length), [&] { got = file->FetchQuality(i, out, error); }); });
  if (!memory) return PyErr_NoMemory();
  if (got != static_cast<int64_t>(length)) {
    PyErr_Format(PyExc_OSError, "the quality of record %R cannot be read: %s", name,
                 got < 0 ? error.c_str() : "the file ends inside it");
    return nullptr;
  }
  return NewRecord(id.Take(), description.Take(), sequence.Take(), quality.Take());
}

PyObject* GenomeLength(PyObject* self, PyObject* name) {
  GenomeObject* genome = AsGenome(self);
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "a sequence name is a str, not %.200s", Py_TYPE(name)->tp_name);
    return nullptr;
  }
  const File file = OpenFile(genome);
  if (!file) return nullptr;
  const Py_ssize_t position = Find(genome, name);
  if (position < 0) return nullptr;
  return PyLong_FromUnsignedLongLong(file->entry(static_cast<size_t>(position)).length);
}

PyObject* GenomeClose(PyObject* self, PyObject*) {
  AsGenome(self)->state->file.reset();
  Py_RETURN_NONE;
}

PyObject* GenomeEnter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* GenomeExit(PyObject* self, PyObject*) { return GenomeClose(self, nullptr); }

// ---- Making one

// The position of each name; a name the index holds twice is refused (the
// index builder keeps the first, so only a hand-made index has one).
bool IndexNames(GenomeObject* genome, const formats::GenomeFile& file) {
  const auto count = static_cast<Py_ssize_t>(file.size());
  genome->names = PyTuple_New(count);
  genome->index = PyDict_New();
  if (genome->names == nullptr || genome->index == nullptr) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = NameText(file.entry(static_cast<size_t>(i)).name);
    if (name == nullptr) return false;
    PyTuple_SET_ITEM(genome->names, i, name);
    const Ref position(PyLong_FromSsize_t(i));
    if (!position) return false;
    PyObject* kept = PyDict_SetDefault(genome->index, name, position.get());
    if (kept == nullptr) return false;
    if (kept != position.get()) {
      RaiseFormatError("line " + std::to_string(file.entry(static_cast<size_t>(i)).line) +
                           ": the index names sequence '" +
                           file.entry(static_cast<size_t>(i)).name + "' twice",
                       file.entry(static_cast<size_t>(i)).line);
      return false;
    }
  }
  return true;
}

int GenomeInit(GenomeObject* genome, PyObject* path_given, PyObject* fai, PyObject* gzi) {
  genome->state = new (std::nothrow) GenomeState();
  if (genome->state == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  std::string path;
  if (!PathOf(path_given, path)) return -1;
  genome->path = PyOS_FSPath(path_given);
  if (genome->path == nullptr) return -1;
  if (PyBytes_Check(genome->path)) {
    Py_SETREF(genome->path, PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(genome->path)));
    if (genome->path == nullptr) return -1;
  }
  if (!PyBytes_Check(fai) || (gzi != Py_None && !PyBytes_Check(gzi))) {
    PyErr_SetString(PyExc_TypeError, "the indexes are bytes (gzi: bytes or None)");
    return -1;
  }
  const std::string_view fai_text(PyBytes_AS_STRING(fai),
                                  static_cast<size_t>(PyBytes_GET_SIZE(fai)));
  return Guarded([&]() -> int {
    std::vector<formats::FaiEntry> entries;
    bool fastq = false;
    formats::IndexError index_error;
    if (!formats::ParseFai(fai_text, entries, fastq, index_error)) {
      RaiseIndexError(index_error);
      return -1;
    }
    std::vector<formats::GziEntry> blocks;
    std::string error;
    if (gzi != Py_None) {
      const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(gzi)),
                                           static_cast<size_t>(PyBytes_GET_SIZE(gzi)));
      if (!formats::ParseGzi(bytes, blocks, error)) {
        RaiseFormatError("line 0: " + error, 0);
        return -1;
      }
    }
    std::unique_ptr<formats::GenomeFile> file;
    {
      bindings::GilRelease unlocked;
      file = formats::GenomeFile::Open(path, std::move(entries), fastq,
                                       gzi != Py_None ? &blocks : nullptr, error);
    }
    if (!file) {
      RaiseOSError(error);
      return -1;
    }
    genome->fastq = fastq;
    if (!IndexNames(genome, *file)) return -1;
    genome->state->file = std::move(file);
    return 0;
  });
}

PyObject* GenomeNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"path", "fai", "gzi", nullptr};
  PyObject *path, *fai, *gzi = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:Genome", const_cast<char**>(keywords), &path,
                                   &fai, &gzi)) {
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  if (GenomeInit(AsGenome(self), path, fai, gzi) < 0) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

int GenomeTraverse(PyObject* self, visitproc visit, void* arg) {
  GenomeObject* genome = AsGenome(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(genome->alphabet);
  Py_VISIT(genome->codec);
  return 0;
}

int GenomeClear(PyObject* self) {
  GenomeObject* genome = AsGenome(self);
  Py_CLEAR(genome->alphabet);
  Py_CLEAR(genome->codec);
  return 0;
}

void GenomeDealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  GenomeObject* genome = AsGenome(self);
  GenomeClear(self);
  Py_CLEAR(genome->path);
  Py_CLEAR(genome->names);
  Py_CLEAR(genome->index);
  delete genome->state;
  genome->state = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t GenomeLen(PyObject* self) { return PyTuple_GET_SIZE(AsGenome(self)->names); }

int GenomeContains(PyObject* self, PyObject* name) {
  if (!PyUnicode_Check(name)) return 0;
  return PyDict_Contains(AsGenome(self)->index, name);
}

PyObject* GenomeIter(PyObject* self) { return PyObject_GetIter(AsGenome(self)->names); }

PyObject* GenomeNames(PyObject* self, void*) { return Py_NewRef(AsGenome(self)->names); }

PyObject* GenomePath(PyObject* self, void*) { return Py_NewRef(AsGenome(self)->path); }

PyObject* GenomeFastq(PyObject* self, void*) { return PyBool_FromLong(AsGenome(self)->fastq); }

PyObject* GenomeBgzf(PyObject* self, void*) {
  const auto& file = AsGenome(self)->state->file;
  return PyBool_FromLong(file && file->bgzf());
}

PyObject* GenomeClosed(PyObject* self, void*) {
  return PyBool_FromLong(!AsGenome(self)->state->file);
}

PyObject* GenomeFits(PyObject* self, void*) {
  const File file = OpenFile(AsGenome(self));
  if (!file) return nullptr;
  return PyBool_FromLong(file->Fits());
}

PyObject* GenomeLengths(PyObject* self, void*) {
  GenomeObject* genome = AsGenome(self);
  const File file = OpenFile(genome);
  if (!file) return nullptr;
  Ref lengths(PyDict_New());
  if (!lengths) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(genome->names); ++i) {
    const Ref length(PyLong_FromUnsignedLongLong(file->entry(static_cast<size_t>(i)).length));
    if (!length ||
        PyDict_SetItem(lengths.get(), PyTuple_GET_ITEM(genome->names, i), length.get()) < 0) {
      return nullptr;
    }
  }
  return lengths.Take();
}

PyMethodDef genome_methods[] = {
    {"fetch", AsMethod(&GenomeFetch), METH_FASTCALL | METH_KEYWORDS,
     "fetch($self, region, start=None, end=None, *, alphabet=None,\n"
     "      reverse_complement=False)\n--\n\n"
     "The bases of a region: a name with 0-based, half-open start and end\n"
     "(slicing's rules), or a text as genome tools write regions (1-based,\n"
     "inclusive: 'chr1:1,000-2,000').  Text, or with `alphabet` its codes."},
    {"resolve", AsMethod(&GenomeResolve), METH_O,
     "resolve($self, region, /)\n--\n\n"
     "The sequence and 0-based [start, end) that a region text names, and\n"
     "whether its end was cut at the end of the sequence."},
    {"record", AsMethod(&GenomeRecord), METH_O,
     "record($self, id, /)\n--\n\nThe FASTQ record of `id`, whole."},
    {"length", AsMethod(&GenomeLength), METH_O,
     "length($self, name, /)\n--\n\nThe number of bases of sequence `name`."},
    {"close", GenomeClose, METH_NOARGS, "Lets go of the file; fetches then raise ValueError."},
    {"__enter__", GenomeEnter, METH_NOARGS, nullptr},
    {"__exit__", GenomeExit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef genome_getset[] = {
    {"path", GenomePath, nullptr, "The file's path.", nullptr},
    {"names", GenomeNames, nullptr, "The sequences' names, in the file's order.", nullptr},
    {"lengths", GenomeLengths, nullptr, "A new dict of each sequence's length, by name.", nullptr},
    {"fastq", GenomeFastq, nullptr, "Whether the file is FASTQ.", nullptr},
    {"bgzf", GenomeBgzf, nullptr, "Whether the file is BGZF-compressed.", nullptr},
    {"closed", GenomeClosed, nullptr, "Whether close() was called.", nullptr},
    {"fits", GenomeFits, nullptr,
     "Whether every sequence of the index lies within the file (else the index is stale).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot genome_slots[] = {
    {Py_tp_new, AsSlot(&GenomeNew)},
    {Py_tp_dealloc, AsSlot(&GenomeDealloc)},
    {Py_tp_traverse, AsSlot(&GenomeTraverse)},
    {Py_tp_clear, AsSlot(&GenomeClear)},
    {Py_tp_iter, AsSlot(&GenomeIter)},
    {Py_sq_length, AsSlot(&GenomeLen)},
    {Py_sq_contains, AsSlot(&GenomeContains)},
    {Py_tp_methods, genome_methods},
    {Py_tp_getset, genome_getset},
    {Py_tp_doc, const_cast<char*>("Genome(path, fai, gzi=None)\n--\n\n"
                                  "A FASTA or FASTQ file opened through its index; the base of "
                                  "alphabet.Fasta and alphabet.Fastq.")},
    {0, nullptr},
};

// ---- Building indexes

PyObject* CompressionOfHead(PyObject*, PyObject* head) {
  if (!PyBytes_Check(head)) {
    PyErr_Format(PyExc_TypeError, "the head of a file is bytes, not %.200s",
                 Py_TYPE(head)->tp_name);
    return nullptr;
  }
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(head)),
                                       static_cast<size_t>(PyBytes_GET_SIZE(head)));
  switch (formats::CompressionOf(bytes)) {
    case formats::Compression::kBgzf: return PyUnicode_FromString("bgzf");
    case formats::Compression::kGzip: return PyUnicode_FromString("gzip");
    case formats::Compression::kNone: break;
  }
  return PyUnicode_FromString("plain");
}

// Keeps the first record of each name, warning of the others, as the tools
// do.  False with an exception set.
bool DropDuplicates(std::vector<formats::FaiEntry>& entries) {
  const Ref seen(PyDict_New());
  if (!seen) return false;
  size_t kept = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Ref name(NameText(entries[i].name));
    if (!name) return false;
    const int found = PyDict_Contains(seen.get(), name.get());
    if (found < 0) return false;
    if (found > 0) {
      if (PyErr_WarnFormat(PyExc_UserWarning, 1,
                           "line %lld: a second sequence named %R is left out of the index",
                           static_cast<long long>(entries[i].line), name.get()) < 0) {
        return false;
      }
      continue;
    }
    if (PyDict_SetItem(seen.get(), name.get(), Py_None) < 0) return false;
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  entries.resize(kept);
  return true;
}

PyObject* BuildIndexOf(PyObject*, PyObject* path_given) {
  std::string path;
  if (!PathOf(path_given, path)) return nullptr;
  return Guarded([&]() -> PyObject* {
    formats::FaiBuilder fai;
    formats::GziBuilder gzi;
    bool bgzf = false, built = false;
    std::string error;
    const bool memory = !RanOutOfMemory([&] {
      bindings::GilRelease unlocked;
      built = formats::BuildIndex(path, fai, gzi, bgzf, error);
    });
    if (!memory) return PyErr_NoMemory();
    if (!built) {
      if (fai.failed()) {
        RaiseFormatError(fai.error().message, fai.error().line);
      } else {
        RaiseOSError(error);
      }
      return nullptr;
    }
    if (!DropDuplicates(fai.entries())) return nullptr;
    const std::string text = formats::FormatFai(fai.entries(), fai.fastq());
    Ref fai_bytes(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!fai_bytes) return nullptr;
    if (!bgzf) return Py_BuildValue("(NO)", fai_bytes.Take(), Py_None);
    const std::string blocks = formats::FormatGzi(gzi.entries());
    return Py_BuildValue("(Ny#)", fai_bytes.Take(), blocks.data(),
                         static_cast<Py_ssize_t>(blocks.size()));
  });
}

PyObject* BuildGziOf(PyObject*, PyObject* path_given) {
  std::string path;
  if (!PathOf(path_given, path)) return nullptr;
  return Guarded([&]() -> PyObject* {
    formats::GziBuilder gzi;
    std::string error;
    bool built = false;
    const bool memory = !RanOutOfMemory([&] {
      bindings::GilRelease unlocked;
      built = formats::BuildGzi(path, gzi, error);
    });
    if (!memory) return PyErr_NoMemory();
    if (!built) {
      RaiseOSError(error);
      return nullptr;
    }
    const std::string blocks = formats::FormatGzi(gzi.entries());
    return PyBytes_FromStringAndSize(blocks.data(), static_cast<Py_ssize_t>(blocks.size()));
  });
}

PyMethodDef index_functions[] = {
    {"compression_of", AsMethod(&CompressionOfHead), METH_O,
     "compression_of(head, /)\n--\n\n"
     "'plain', 'bgzf' or 'gzip': how a file that starts with `head` (its first 18 bytes) is "
     "compressed."},
    {"build_index", AsMethod(&BuildIndexOf), METH_O,
     "build_index(path, /)\n--\n\n"
     "The .fai text of a FASTA or FASTQ file, and its .gzi bytes when it is BGZF (else None)."},
    {"build_gzi", AsMethod(&BuildGziOf), METH_O,
     "build_gzi(path, /)\n--\n\nThe .gzi bytes of a BGZF file, from its block headers."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool AddGenome(PyObject* module) {
  return AddType(module, "Genome",
                 {.name = "alphabet._native.Genome",
                  .basicsize = sizeof(GenomeObject),
                  .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
                  .slots = genome_slots},
                 genome_type) &&
         PyModule_AddFunctions(module, index_functions) == 0;
}

}  // namespace native
