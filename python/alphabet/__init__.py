"""Symbol alphabets and typed sequences, without handles.

`Alphabet` objects encode symbols to codes and back, one at a time or a
whole text at once, with options for case, aliases and unknown symbols;
they give reverse complements and k-mer indices.  `dna()`, `rna()` and
`protein()` give the standard alphabets, `iupac_dna()`, `iupac_rna()` and
`extended_protein()` the same with ambiguity codes, stop and gap.
`read(path)` yields the records of a FASTA or FASTQ file (compressed or
not), `read(r1, r2)` pairs of mates, `read(path, batch_size=N)` batches of
records in buffers; `write(path, records)` writes them (`Writer` one at a
time); `Fasta(path)` opens one by its index for random access to regions,
`Fastq(path)` gives FASTQ records by id.  For models, alphabets give
padded batches (encode_batch), one-hot
rows, canonical k-mers and minimizers; `genetic_code(n)` translates by
NCBI's table n.
`sequence(kind, values)` makes a typed sequence of one of the seventeen
element kinds in KINDS.  Every object owns its handle in the
module's registry and releases it when Python collects the object.
`__version__` is the package's version.
"""

import typing as _typing


def _span_build_tree(path: list[str]) -> None:
    """Adds the folder of a build tree that holds the native module to `path`.

    An installed package holds its native module beside these sources.  In a
    build tree the native module is built into <build>/python/alphabet/ and
    both folders are on sys.path: the package then spans the two.
    """
    import os
    import sys
    from importlib.machinery import EXTENSION_SUFFIXES

    def holds_native(folder: str) -> bool:
        return any(
            os.path.exists(os.path.join(folder, "_native" + suffix))
            for suffix in EXTENSION_SUFFIXES
        )

    if holds_native(path[0]):
        return
    for entry in sys.path:
        folder = os.path.join(entry or os.curdir, __name__)
        if folder not in path and os.path.isdir(folder) and holds_native(folder):
            path.append(folder)
            return


_span_build_tree(__path__)

from ._alphabets import (
    Alphabet,
    AlphabetOptions,
    dna,
    extended_protein,
    iupac_dna,
    iupac_rna,
    protein,
    rna,
    set_dna,
    set_protein,
    set_rna,
)
from ._errors import AlphabetError, FormatError
from ._genetic_code import GeneticCode, genetic_code
from ._genome import Fasta, Fastq, Region
from ._native import Array
from ._reader import Record, RecordBatch, read
from ._sequences import KINDS, ByteSequence, Sequence, sequence
from ._writer import Writer, write

# Public classes show under the package's name in reprs and tracebacks.
for _public in (
    Alphabet, AlphabetError, AlphabetOptions, ByteSequence, Fasta, Fastq, FormatError, GeneticCode,
    Region, Sequence, Writer,
):  # fmt: skip
    _public.__module__ = __name__
del _public, _span_build_tree

if _typing.TYPE_CHECKING:
    __version__: str
else:

    def __getattr__(name: str) -> str:
        # The version is found on first use: the metadata machinery takes as
        # long to import as the whole package, and most imports never ask.
        if name == "__version__":
            from ._version import version

            globals()[name] = found = version()
            return found
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


del _typing

__all__ = [
    "KINDS",
    "Alphabet",
    "AlphabetError",
    "AlphabetOptions",
    "Array",
    "ByteSequence",
    "Fasta",
    "Fastq",
    "FormatError",
    "GeneticCode",
    "Record",
    "RecordBatch",
    "Region",
    "Sequence",
    "Writer",
    "dna",
    "extended_protein",
    "genetic_code",
    "iupac_dna",
    "iupac_rna",
    "protein",
    "read",
    "rna",
    "sequence",
    "set_dna",
    "set_protein",
    "set_rna",
    "write",
]
