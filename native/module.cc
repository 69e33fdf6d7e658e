// alphabet._native: the package's native module.  It reaches library objects
// only through _alphabet's exported flat functions (common/flat_api.h) and
// keeps no state of its own beyond what it derives from them.
//
// Each room adds its part here, once: common/ (what every room uses),
// objects/ (Held and the alphabets' factories), sequences/ (the sequence
// type), codec/ (Codec, the bulk calls over codes, k-mers, batches, one-hot
// rows, translation), io/ (records, their batches, the reader, the writer
// and the genome index).
#include <Python.h>

#include "native/codec/batches.h"
#include "native/codec/bulk.h"
#include "native/codec/codec.h"
#include "native/codec/kmers.h"
#include "native/codec/one_hot.h"
#include "native/codec/translate.h"
#include "native/common/arrays.h"
#include "native/common/buffers.h"
#include "native/common/errors.h"
#include "native/common/flat_api.h"
#include "native/common/owned_buffer.h"
#include "native/io/batch.h"
#include "native/io/genome.h"
#include "native/io/reader.h"
#include "native/io/record.h"
#include "native/io/writer.h"
#include "native/objects/alphabets.h"
#include "native/objects/held.h"
#include "native/sequences/sequence_type.h"

namespace {

PyModuleDef native_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "alphabet._native",
    .m_doc = "Native loops and kernels of the alphabet package.",
    .m_size = -1,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native() {
  if (!native::LoadFlatApi() || !native::AddErrors() || !native::AddBuffers()) return nullptr;
  PyObject* module = PyModule_Create(&native_module);
  if (module == nullptr) return nullptr;
  if (!native::AddHeld(module) || !native::AddAlphabets(module) || !native::AddSequences(module) ||
      !native::AddArrays(module) || !native::AddCodec(module) ||
      !native::AddBulkFunctions(module) || !native::AddKmerFunctions(module) ||
      !native::AddBatchFunctions(module) || !native::AddOneHotFunctions(module) ||
      !native::AddTranslateFunctions(module) || !native::AddOwnedBuffers(module) ||
      !native::AddRecords(module) || !native::AddBatches(module) || !native::AddReader(module) ||
      !native::AddWriter(module) || !native::AddGenome(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
