#include "alphabet/standard.h"

namespace alphabet {
namespace {

struct References {
  AlphabetPtr dna;
  AlphabetPtr rna;
  AlphabetPtr protein;
};

References& Refs() {
  // Never destroyed: a call on another thread may still read a reference
  // while the process shuts down.
  static References* refs = new References();
  return *refs;
}

}  // namespace

void InitStandardAlphabets() {
  References& refs = Refs();
  refs.dna = NewAlphabet({"A", "C", "G", "T"});
  refs.rna = NewAlphabet({"A", "C", "G", "U"});
  refs.protein = NewAlphabet({"A", "C", "D", "E", "F", "G", "H", "I", "K", "L",
                              "M", "N", "P", "Q", "R", "S", "T", "V", "W", "Y"});
}

AlphabetPtr DNA() { return Refs().dna; }
void SetDNA(AlphabetPtr alphabet) { Refs().dna = std::move(alphabet); }
AlphabetPtr RNA() { return Refs().rna; }
void SetRNA(AlphabetPtr alphabet) { Refs().rna = std::move(alphabet); }
AlphabetPtr Protein() { return Refs().protein; }
void SetProtein(AlphabetPtr alphabet) { Refs().protein = std::move(alphabet); }

}  // namespace alphabet
