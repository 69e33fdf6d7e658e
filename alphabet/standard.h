// The standard alphabets DNA ("A" "C" "G" "T"), RNA ("A" "C" "G" "U") and
// Protein (the twenty one-letter amino-acid codes in alphabetical order), held
// by three process-wide references.
//
// InitStandardAlphabets builds the three once, at load, before any call is
// served.  Afterwards callers may read a reference (they get the alphabet it
// designates now, shared, not a copy) or replace it; null designates no
// alphabet.  Replacing a reference leaves the alphabet it designated before
// untouched for whoever still holds it.  The standard alphabets are ordinary
// alphabets: nothing else in the library consults these references.
//
// Thread safety: the references have no lock of their own.  Reads and
// replacements must not overlap; the module makes them only while it holds
// the Python interpreter lock, and its start-up wait orders them after
// InitStandardAlphabets.  The references are never destroyed, so a read stays
// valid until the process ends.
#ifndef ALPHABET_ALPHABET_STANDARD_H_
#define ALPHABET_ALPHABET_STANDARD_H_

#include "alphabet/alphabet.h"

namespace alphabet {

// Builds DNA, then RNA, then Protein, and points the references at them.
void InitStandardAlphabets();

AlphabetPtr DNA();
void SetDNA(AlphabetPtr alphabet);
AlphabetPtr RNA();
void SetRNA(AlphabetPtr alphabet);
AlphabetPtr Protein();
void SetProtein(AlphabetPtr alphabet);

}  // namespace alphabet

#endif  // ALPHABET_ALPHABET_STANDARD_H_
