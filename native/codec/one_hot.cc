#include "native/codec/one_hot.h"

#include <cstring>
#include <type_traits>

#include "kernels/models.h"
#include "native/codec/batches.h"
#include "native/codec/code_buffers.h"
#include "native/common/arrays.h"
#include "native/common/guard.h"
#include "native/common/interpreter.h"
#include "native/common/item_format.h"
#include "native/common/methods.h"
#include "native/common/ref.h"

namespace native {
namespace {

constexpr char kNotInAlphabet[] = "not in alphabet";

// The rows of codes wider than a byte, each checked against the table;
// returns the first code without a row, or n.
template <class T>
size_t ExpandWide(const T* codes, size_t n, const uint8_t* table, size_t rows, size_t row_bytes,
                  uint8_t* out) {
  for (size_t i = 0; i < n; ++i) {
    const T code = ReadOnce(codes + i);
    if constexpr (std::is_signed_v<T>) {
      if (code < 0) return i;
    }
    if (static_cast<uint64_t>(code) >= rows) return i;
    std::memcpy(out + i * row_bytes, table + static_cast<size_t>(code) * row_bytes, row_bytes);
  }
  return n;
}

PyObject* OneHot(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"codes", "table", "width", "format", "batch", nullptr};
  PyObject *codes_object, *table_object;
  Py_ssize_t width;
  const char* format;
  int batch = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOns|$p:one_hot", const_cast<char**>(keywords),
                                   &codes_object, &table_object, &width, &format, &batch)) {
    return nullptr;
  }
  return Guarded([&]() -> PyObject* {
    ItemFormat item{};
    if (!ParseItemFormat(format, item) || item.foreign_order || width < 1) {
      PyErr_Format(PyExc_ValueError, "one-hot rows need a width >= 1 and a plain item format");
      return nullptr;
    }
    PinnedBuffer table;
    if (!PinContiguous(table_object, PyBUF_SIMPLE, table)) return nullptr;
    const size_t row_bytes = static_cast<size_t>(width) * item.size;
    if (table.bytes() % row_bytes != 0) {
      PyErr_Format(PyExc_ValueError, "a table of %zu bytes is no whole number of rows of %zu",
                   table.bytes(), row_bytes);
      return nullptr;
    }
    const size_t rows = table.bytes() / row_bytes;
    CodeSource source;
    if (CodeSource::IsBuffer(codes_object) || batch) {
      if (!source.OpenBuffer(codes_object, batch ? 2 : 1)) return nullptr;
    } else if (!source.Gather(codes_object, rows, kNotInAlphabet)) {
      return nullptr;
    }
    const size_t n = source.size();
    const auto columns = static_cast<size_t>(width);
    void* data = nullptr;
    const Ref result(
        batch ? NewArray(item.bare, item.size, {source.rows(), source.columns(), columns}, data)
              : NewArray(item.bare, item.size, {n, columns}, data));
    if (!result) return nullptr;
    auto* out = static_cast<uint8_t*>(data);
    const auto* rows_table = static_cast<const uint8_t*>(table.data());
    const size_t stop = Unlocked(n, [&] {
      return VisitCodes(source, [&](const auto* in) {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(in)>>;
        if constexpr (std::is_same_v<T, uint8_t>) {
          return kernels::ExpandRows(in, n, rows_table, rows, row_bytes, out);
        } else {
          return ExpandWide(in, n, rows_table, rows, row_bytes, out);
        }
      });
    });
    if (stop < n) {
      if (!batch) {
        RaiseBadCode(source, stop, kNotInAlphabet);
        return nullptr;
      }
      const size_t length = source.columns();
      RaiseBadCode(source.span().Part(stop - stop % length, length), stop % length, kNotInAlphabet);
      NameSequence(static_cast<Py_ssize_t>(stop / length));
      return nullptr;
    }
    return Py_NewRef(result.get());
  });
}

PyMethodDef one_hot_functions[] = {
    {"one_hot", AsMethod(&OneHot), METH_VARARGS | METH_KEYWORDS,
     "one_hot(codes, table, width, format, *, batch=False)\n--\n\n"
     "Each code's row of table (rows of width items of the struct format, one\n"
     "per code) in an Array of shape (n, width); with batch, codes are rows of\n"
     "codes (a 2-D buffer) and the Array has shape (n, L, width).  A code with\n"
     "no row raises AlphabetError naming it and its position."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool AddOneHotFunctions(PyObject* module) {
  return PyModule_AddFunctions(module, one_hot_functions) == 0;
}

}  // namespace native
