"""Symbol alphabets and typed sequences, without handles.

`Alphabet` objects encode symbols to codes and back, one at a time or a
whole text at once; `dna()`, `rna()` and `protein()` give the standard
alphabets.  `sequence(kind, values)` makes a typed sequence of one of the
seventeen element kinds in KINDS.  Every object owns its handle in the
module's registry and releases it when Python collects the object.
"""

from ._alphabets import Alphabet, dna, protein, rna, set_dna, set_protein, set_rna
from ._errors import AlphabetError
from ._sequences import KINDS, ByteSequence, Sequence, sequence

# Public classes show under the package's name in reprs and tracebacks.
for _public in (Alphabet, AlphabetError, ByteSequence, Sequence):
    _public.__module__ = __name__
del _public

__all__ = [
    "KINDS",
    "Alphabet",
    "AlphabetError",
    "ByteSequence",
    "Sequence",
    "dna",
    "protein",
    "rna",
    "sequence",
    "set_dna",
    "set_protein",
    "set_rna",
]
