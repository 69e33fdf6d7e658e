#include "bindings/sequence_functions.h"

#include <type_traits>
#include <utility>

#include "bindings/errors.h"
#include "bindings/startup.h"
#include "sequences/operations.h"

namespace bindings {
namespace {

// The flat functions of one storage type: elements converted to and from
// their flat forms, faults turned into Python exceptions.
template <class Storage>
struct SequenceFunctions {
  using Ops = sequences::Operations<Storage>;
  using Form = FlatForm<Storage>;

  static int64_t CTor(const char* tag) { return ValueOrRaise(Ops::CTor(tag)); }

  static int64_t Len(int64_t handle, const char* tag) {
    return ValueOrRaise(Ops::Len(handle, tag));
  }

  static typename Form::Out Elem(int64_t handle, int64_t idx, const char* tag) {
    typename Form::Out out{};
    const sequences::Status status =
        Ops::Read(handle, idx, tag, [&](const auto& elem) { out = Form::FromElem(elem); });
    if (!status.ok()) {
      RaiseFault(status);
    } else if constexpr (std::is_pointer_v<typename Form::Out>) {
      if (out == nullptr) RaiseMemoryError();  // no memory for the text's copy
    }
    return out;
  }

  static int64_t SubSlice(int64_t handle, int64_t st, int64_t ed, const char* tag) {
    return ValueOrRaise(Ops::SubSlice(handle, st, ed, tag));
  }

  static void Set(int64_t handle, int64_t idx, typename Form::In value, const char* tag) {
    // Converted (for texts: copied) before the registry is asked.
    CatchNoMemory([&] { RaiseIfFault(Ops::Set(handle, idx, Form::ToElem(value), tag)); });
  }

  static void Append(int64_t handle, typename Form::In value, const char* tag) {
    CatchNoMemory([&] { RaiseIfFault(Ops::Append(handle, Form::ToElem(value), tag)); });
  }

 private:
  template <class T>
  static T ValueOrRaise(sequences::Result<T> result) {
    RaiseIfFault(result.status);
    return result.value;
  }

  static void RaiseIfFault(const sequences::Status& status) {
    if (!status.ok()) RaiseFault(status);
  }
};

}  // namespace
}  // namespace bindings

using bindings::EnsureStarted;
using bindings::SequenceFunctions;

#define KIND(name, storage)                                                                      \
  int64_t Slice_##name##_CTor() {                                                                \
    EnsureStarted();                                                                             \
    return SequenceFunctions<sequences::storage>::CTor("[]" #name);                              \
  }                                                                                              \
  int64_t Slice_##name##_len(int64_t handle) {                                                   \
    EnsureStarted();                                                                             \
    return SequenceFunctions<sequences::storage>::Len(handle, "[]" #name);                       \
  }                                                                                              \
  bindings::FlatForm<sequences::storage>::Out Slice_##name##_elem(int64_t handle, int64_t idx) { \
    EnsureStarted();                                                                             \
    return SequenceFunctions<sequences::storage>::Elem(handle, idx, "[]" #name);                 \
  }                                                                                              \
  int64_t Slice_##name##_subslice(int64_t handle, int64_t st, int64_t ed) {                      \
    EnsureStarted();                                                                             \
    return SequenceFunctions<sequences::storage>::SubSlice(handle, st, ed, "[]" #name);          \
  }                                                                                              \
  void Slice_##name##_set(int64_t handle, int64_t idx,                                           \
                          bindings::FlatForm<sequences::storage>::In value) {                    \
    EnsureStarted();                                                                             \
    SequenceFunctions<sequences::storage>::Set(handle, idx, value, "[]" #name);                  \
  }                                                                                              \
  void Slice_##name##_append(int64_t handle, bindings::FlatForm<sequences::storage>::In value) { \
    EnsureStarted();                                                                             \
    SequenceFunctions<sequences::storage>::Append(handle, value, "[]" #name);                    \
  }
#include "sequences/kinds.def"
#undef KIND
