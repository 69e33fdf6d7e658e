#include "bindings/alphabet_functions.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <system_error>
#include <vector>

#include "alphabet/alphabet.h"
#include "alphabet/standard.h"
#include "bindings/errors.h"
#include "bindings/gil.h"
#include "bindings/startup.h"
#include "bindings/text.h"
#include "handles/registry.h"
#include "sequences/operations.h"
#include "sequences/storage.h"

namespace bindings {
namespace {

using alphabet::Alphabet;
using alphabet::AlphabetPtr;
using alphabet::Error;
using alphabet::ValueView;
using handles::Handle;
using handles::LookupStatus;
using StringOperations = sequences::Operations<sequences::StringStorage>;

constexpr char kAlphabetTag[] = "*alphabet.Alphabet";

void RaiseWrongKind(Handle handle, const char* expected) {
  RaiseTypeError("handle " + std::to_string(handle) + " does not name " + expected);
}

// The symbols of the string sequence `handle` names, copied while the
// interpreter lock is held so that no other thread changes the sequence
// under the copy; none when it names nothing.  False with TypeError raised
// for an object of another kind.
bool CopySymbols(Handle handle, std::vector<std::string>& out) {
  auto found = StringOperations::Find(handle, "[]string");
  if (!found.status.ok()) {
    RaiseFault(found.status);
    return false;
  }
  if (const auto& seq = found.value) {
    out.reserve(seq->length());
    for (int64_t i = 0; i < seq->length(); ++i) out.push_back((*seq)[i]);
  }
  return true;
}

// A code text that spells a decimal integer ("-" then digits, within 64
// bits) is that integer; any other text stays a text.
ValueView CodeValue(std::string_view text) {
  int64_t integer = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), integer);
  if (!text.empty() && ec == std::errc() && end == text.data() + text.size()) {
    return ValueView::Int(integer);
  }
  return ValueView::Text(text);
}

Handle RegisterAlphabet(AlphabetPtr alphabet) {
  return handles::Global().Register(kAlphabetTag, std::move(alphabet));
}

void SetReference(Handle val, void (*set)(AlphabetPtr)) {
  auto found = handles::Global().VarFromHandleTry<const Alphabet>(val);
  if (found.status == LookupStatus::kWrongKind) {
    RaiseWrongKind(val, "an alphabet");
    return;
  }
  set(std::move(found.object));
}

}  // namespace
}  // namespace bindings

using namespace bindings;

int64_t alphabet_DNA() {
  EnsureStarted();
  return CatchNoMemory([] { return RegisterAlphabet(alphabet::DNA()); });
}

int64_t alphabet_RNA() {
  EnsureStarted();
  return CatchNoMemory([] { return RegisterAlphabet(alphabet::RNA()); });
}

int64_t alphabet_Protein() {
  EnsureStarted();
  return CatchNoMemory([] { return RegisterAlphabet(alphabet::Protein()); });
}

void alphabet_Set_DNA(int64_t val) {
  EnsureStarted();
  SetReference(val, alphabet::SetDNA);
}

void alphabet_Set_RNA(int64_t val) {
  EnsureStarted();
  SetReference(val, alphabet::SetRNA);
}

void alphabet_Set_Protein(int64_t val) {
  EnsureStarted();
  SetReference(val, alphabet::SetProtein);
}

int64_t alphabet_Alphabet_CTor() {
  EnsureStarted();
  return CatchNoMemory(
      [] { return handles::Global().Register("alphabet.Alphabet", alphabet::NewAlphabet({})); });
}

int64_t alphabet_Alphabet_Encode(int64_t _handle, const char* symbol) {
  EnsureStarted();
  return CatchNoMemory([&]() -> int64_t {
    alphabet::EncodeResult result{};
    LookupStatus status;
    {
      GilRelease unlocked;
      // Encoded in place under the registry's read lock: the alphabet cannot
      // be released meanwhile, so no shared reference of our own is needed.
      // The text is looked up as it stands: the caller's argument keeps it
      // alive and unchanged for the call.
      status = handles::Global().Visit<const Alphabet>(_handle, [&](const Alphabet& a) {
        result = a.Encode(ValueView::Text(TextView(symbol)));
      });
    }
    if (status == LookupStatus::kWrongKind) {
      RaiseWrongKind(_handle, "an alphabet");
      return 0;
    }
    if (result.error) {
      RaiseRuntimeError(result.error->message());
      return 0;
    }
    return result.code;
  });
}

char* alphabet_Alphabet_Decode(int64_t _handle, const char* code) {
  EnsureStarted();
  return CatchNoMemory([&]() -> char* {
    char* symbol = nullptr;
    alphabet::ErrorPtr error;
    LookupStatus status;
    {
      GilRelease unlocked;
      // The symbol is copied out before the read lock is let go, while the
      // alphabet it lives in is sure to exist.
      status = handles::Global().Visit<const Alphabet>(_handle, [&](const Alphabet& a) {
        alphabet::DecodeResult result = a.Decode(CodeValue(TextView(code)));
        error = std::move(result.error);
        symbol = CString(result.symbol);
      });
      // A handle that names nothing decodes to the empty text; a refused
      // call hands one back beside its exception.
      if (status != LookupStatus::kFound) symbol = CString("");
    }
    if (status == LookupStatus::kWrongKind) {
      RaiseWrongKind(_handle, "an alphabet");
    } else if (error) {
      RaiseRuntimeError(error->message());
    } else if (symbol == nullptr) {
      RaiseMemoryError();
    }
    return symbol;
  });
}

int64_t alphabet_Alphabet_Extend(int64_t _handle, int64_t symbols) {
  EnsureStarted();
  return CatchNoMemory([&]() -> int64_t {
    handles::Lookup<const Alphabet> found;
    {
      GilRelease unlocked;
      found = handles::Global().VarFromHandleTry<const Alphabet>(_handle);
    }
    if (found.status == LookupStatus::kWrongKind) RaiseWrongKind(_handle, "an alphabet");
    std::vector<std::string> added;
    if (!found.found() || !CopySymbols(symbols, added)) return handles::kNoHandle;
    GilRelease unlocked;
    return RegisterAlphabet(found.object->Extend(std::move(added)));
  });
}

int64_t alphabet_Alphabet_Symbols(int64_t _handle) {
  EnsureStarted();
  return CatchNoMemory([&]() -> int64_t {
    LookupStatus status;
    Handle handle = handles::kNoHandle;
    {
      GilRelease unlocked;
      auto found = handles::Global().VarFromHandleTry<const Alphabet>(_handle);
      status = found.status;
      if (found.found()) {
        // A new sequence of copies: changing it never changes the alphabet.
        // Nobody else can see it before it is registered.
        const auto& symbols = found.object->Symbols();
        auto block = std::make_shared<std::string[]>(symbols.size());
        std::copy(symbols.begin(), symbols.end(), block.get());
        handle = handles::Global().Register(
            "[]string", std::make_shared<StringOperations::Seq>(StringOperations::Seq::Adopt(
                            std::move(block), static_cast<int64_t>(symbols.size()))));
      }
    }
    if (status == LookupStatus::kWrongKind) RaiseWrongKind(_handle, "an alphabet");
    return handle;
  });
}

int64_t alphabet_Error_CTor() {
  EnsureStarted();
  return CatchNoMemory([] {
    return handles::Global().Register("alphabet.Error", std::make_shared<const Error>(""));
  });
}

char* alphabet_Error_Error(int64_t _handle) {
  EnsureStarted();
  return CatchNoMemory([&]() -> char* {
    LookupStatus status;
    char* message;
    {
      GilRelease unlocked;
      auto found = handles::Global().VarFromHandleTry<const Error>(_handle);
      status = found.status;
      message = ErrorToCString(found.object.get());
    }
    if (status == LookupStatus::kWrongKind) {
      RaiseWrongKind(_handle, "an error");
    } else if (message == nullptr) {
      RaiseMemoryError();
    }
    return message;
  });
}

int64_t alphabet_NewAlphabet(int64_t symbols) {
  EnsureStarted();
  return CatchNoMemory([&]() -> int64_t {
    std::vector<std::string> copied;
    if (!CopySymbols(symbols, copied)) return handles::kNoHandle;
    GilRelease unlocked;
    return RegisterAlphabet(alphabet::NewAlphabet(std::move(copied)));
  });
}
