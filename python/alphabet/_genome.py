"""Genomes by their index: random access to the regions of a FASTA file, and
to the records of a FASTQ file, through the index files that genome tools
write (`.fai`, and `.gzi` for BGZF).

The index is read from beside the file (`path + ".fai"`).  Where it is
missing, older than the file, or does not fit it, it is built by reading
the file through once and written there exactly as the tools write it; a
folder that cannot be written to leaves it in memory.  A BGZF file is read
through its `.gzi` the same way; a plain gzip file cannot be read at random
and is refused.  Fetching is native (alphabet._native.Genome): positional
reads of the file, safe from several threads at once.
"""

from __future__ import annotations

import array
import functools
import os
from collections.abc import Mapping
from types import MappingProxyType
from typing import Self, SupportsIndex, overload

from . import _native
from ._alphabets import Alphabet
from ._reader import FormatError, Record

type PathName = str | os.PathLike[str]


def _index_bytes(index: str, data: str) -> bytes | None:
    """The bytes of the index file `index`, or None when it is missing or
    older than the data file `data` (it was made before the data changed)."""
    try:
        with open(index, "rb") as file:
            made = os.fstat(file.fileno()).st_mtime_ns
            if made < os.stat(data).st_mtime_ns:
                return None
            return file.read()
    except FileNotFoundError:
        return None


def _write_index(index: str, data: bytes) -> None:
    """Writes an index beside its file, whole or not at all (a reader never
    sees half of one), with the permissions a new file gets; where it cannot
    be written it stays in memory only."""
    temporary = f"{index}.{os.getpid()}.{os.urandom(4).hex()}.tmp"
    try:
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError:
        return
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
        os.replace(temporary, index)
    except OSError:
        try:
            os.unlink(temporary)
        except OSError:
            pass


class _Indexes:
    """Finds, and where needed builds and writes, the indexes of one file."""

    def __init__(self, path: PathName, build_index: bool) -> None:
        name = os.fspath(path)
        if not isinstance(name, str):
            raise TypeError(f"path must be str or os.PathLike[str], not {type(name).__name__}")
        self.path = name
        self.build_index = build_index
        # Opened here for the errors Python gives a path (FileNotFoundError,
        # IsADirectoryError, PermissionError).
        with open(name, "rb") as file:
            head = file.read(18)
        compression = _native.compression_of(head)
        if compression == "gzip":
            raise ValueError(
                f"{name} is compressed with gzip, which cannot be read at random: "
                f"compress it with bgzip instead (zcat {name} | bgzip > {name}.bgz)"
            )
        self.bgzf = compression == "bgzf"

    def open(self, cls: type[_native.Genome]) -> _native.Genome:
        fai = _index_bytes(self.path + ".fai", self.path)
        gzi = _index_bytes(self.path + ".gzi", self.path) if self.bgzf else None
        built = False
        if fai is None or (self.bgzf and gzi is None):
            fai, gzi = self._build(fai, gzi)
            built = True
        genome = _native.Genome.__new__(cls, self.path, fai, gzi)
        if not genome.fits and not built:
            # An index of the file as it was before a change that kept its
            # time: the sequences it lists run past the end of the data.
            genome.close()
            fai, gzi = self._build(None, None)
            genome = _native.Genome.__new__(cls, self.path, fai, gzi)
        if not genome.fits:
            genome.close()
            raise FormatError(
                f"line 1: the index of {self.path} lists sequences beyond the end of the file", 1
            )
        return genome

    def _build(self, fai: bytes | None, gzi: bytes | None) -> tuple[bytes, bytes | None]:
        if not self.build_index:
            missing = self.path + (".fai" if fai is None else ".gzi")
            raise FileNotFoundError(
                f"{missing}: no index, or one out of date, and build_index is False"
            )
        if fai is None:
            fai, gzi = _native.build_index(self.path)
            _write_index(self.path + ".fai", fai)
        else:
            gzi = _native.build_gzi(self.path)
        if gzi is not None:
            _write_index(self.path + ".gzi", gzi)
        return fai, gzi


class Region:
    """One sequence of a genome, as `genome[name]` gives it: its length, and
    its text by slicing (Python's rules, negative indexes included); nothing
    is read until it is sliced.

    >>> chromosome = genome["chr1"]                # doctest: +SKIP
    >>> len(chromosome), chromosome[1000:1010]     # doctest: +SKIP
    (248956422, 'NNNNNNNNNN')
    """

    __slots__ = ("_genome", "_length", "name")

    def __init__(self, genome: _native.Genome, name: str) -> None:
        self._genome = genome
        self.name = name
        self._length = genome.length(name)

    def __len__(self) -> int:
        return self._length

    @overload
    def __getitem__(self, key: SupportsIndex, /) -> str: ...
    @overload
    def __getitem__(self, key: slice, /) -> str: ...
    def __getitem__(self, key: SupportsIndex | slice, /) -> str:
        if isinstance(key, slice):
            start, stop, step = key.indices(self._length)
            if step == 1:
                return self._genome.fetch(self.name, start, max(start, stop))
            positions = range(start, stop, step)
            if not positions:
                return ""
            low, high = min(positions), max(positions) + 1
            text = self._genome.fetch(self.name, low, high)
            first, last = start - low, stop - low
            return text[first : last if last >= 0 else None : step]
        index = key.__index__()
        if index < 0:
            index += self._length
        if not 0 <= index < self._length:
            raise IndexError(
                f"position {key.__index__()} is outside {self.name!r} of {self._length} bases"
            )
        return self._genome.fetch(self.name, index, index + 1)

    def fetch(
        self,
        start: int | None = None,
        end: int | None = None,
        *,
        alphabet: Alphabet | None = None,
        reverse_complement: bool = False,
    ) -> str | bytes | array.array[int]:
        """The bases [start, end) of this sequence, as genome.fetch gives them."""
        return self._genome.fetch(self.name, start, end, alphabet=alphabet,
                                  reverse_complement=reverse_complement)  # fmt: skip

    def __str__(self) -> str:
        return self._genome.fetch(self.name)

    def __repr__(self) -> str:
        return f"Region({self.name!r}, {self._length} bases)"


class Fasta(_native.Genome):
    """A FASTA file opened by its index, for random access to its regions.

    `Fasta(path)` reads `path + ".fai"`, building and writing it where it is
    missing or out of date (unless `build_index` is False); a BGZF file
    (`bgzip`) is read through its `.gzi` the same way.  A file that genome
    tools refuse to index is refused with a FormatError naming the record
    and the line.

    `len(genome)`, iteration and `genome.names` give the sequences' names in
    the file's order, `genome.lengths` their lengths, `name in genome` tells
    whether one is there, and `genome[name]` is a Region whose slices are
    text.  `genome.fetch(region, start, end)` gives the bases of a region:
    a name with 0-based, half-open start and end (slicing's rules), or,
    alone, a text as genome tools write regions ("chr1", "chr1:1000",
    "chr1:1,000-2,000": 1-based and inclusive; an end past the sequence
    stops at its end).  With `alphabet` it gives the codes instead, as
    `alphabet.encode_all` would, made without making the text; with
    `reverse_complement` the reverse complement (of the text, or through
    the alphabet's complements).  An unknown name raises KeyError; a start
    past the end gives an empty result.  A Fasta pickles by its path.
    """

    def __new__(cls, path: PathName, *, build_index: bool = True) -> Self:
        genome = _Indexes(path, build_index).open(cls)
        assert isinstance(genome, cls)
        return genome

    @functools.cached_property
    def lengths(self) -> Mapping[str, int]:
        """The length of each sequence, by name."""
        return MappingProxyType(_native.Genome.lengths.__get__(self))

    def __getitem__(self, name: str) -> Region:
        return Region(self, name)

    def __reduce__(self) -> tuple[type[Self], tuple[str]]:
        return type(self), (self.path,)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.path!r})"


class Fastq(_native.Genome):
    """A FASTQ file opened by its index (as `samtools fqidx` writes it):
    `genome[id]` is the Record of that id, read without reading the rest.

    The index is found, built and written as for Fasta; names, lengths,
    `in` and fetch work the same way, on the records' sequences.
    """

    def __new__(cls, path: PathName, *, build_index: bool = True) -> Self:
        genome = _Indexes(path, build_index).open(cls)
        assert isinstance(genome, cls)
        if not genome.fastq:
            genome.close()
            raise FormatError(f"line 1: {genome.path} is FASTA, not FASTQ (open it with Fasta)", 1)
        return genome

    def __getitem__(self, id: str) -> Record[str]:
        return self.record(id)

    def __reduce__(self) -> tuple[type[Self], tuple[str]]:
        return type(self), (self.path,)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.path!r})"
