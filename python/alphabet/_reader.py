"""Reading FASTA and FASTQ: alphabet.read, the records and batches it
yields, and its errors.

The parsing is native (alphabet._native.Reader over the parser in formats/):
a plain file named by a path is read in chunks with the interpreter lock
released; a file object (standard input, a decompressing stream) is read
with readinto or read.  Only the record being assembled (or the batch) and
one chunk are held, however large the file.  Compressed input is told by
its magic number and decompressed by _compression, in a thread of its own
where a second core exists.  Pairs of files, or of records of one file,
are matched in _pairs.
"""

from __future__ import annotations

import array
import os
import sys
from collections.abc import Callable
from typing import Any, Literal, Protocol, cast, overload

from . import _compression, _native
from ._alphabets import Alphabet
from ._errors import FormatError
from ._pairs import PairReader

__all__ = ["FormatError", "Record", "RecordBatch", "Reader", "read"]

Record = _native.Record
RecordBatch = _native.RecordBatch
Reader = _native.Reader

# Bytes read from the source at a time.
CHUNK_SIZE = 1 << 20


class BinaryInput(Protocol):
    """What read() takes as a file object: a binary file open for reading."""

    def read(self, size: int = -1, /) -> bytes | None: ...


type Source = str | os.PathLike[str] | BinaryInput
type Errors = Literal["strict", "skip"]


@overload
def read(
    source: Source,
    mate: None = None,
    *,
    alphabet: None = None,
    batch_size: None = None,
    phred: int | None = None,
    errors: Errors = "strict",
    interleaved: Literal[False] = False,
) -> _native.Reader[Record[str]]: ...
@overload
def read(
    source: Source,
    mate: None = None,
    *,
    alphabet: Alphabet,
    batch_size: None = None,
    phred: int | None = None,
    errors: Errors = "strict",
    interleaved: Literal[False] = False,
) -> _native.Reader[Record[bytes | array.array[int]]]: ...
@overload
def read(
    source: Source,
    mate: None = None,
    *,
    alphabet: Alphabet | None = None,
    batch_size: int,
    phred: int | None = None,
    errors: Errors = "strict",
    interleaved: Literal[False] = False,
) -> _native.Reader[_native.RecordBatch]: ...
@overload
def read(
    source: Source,
    mate: Source,
    *,
    alphabet: None = None,
    batch_size: None = None,
    phred: int | None = None,
    errors: Errors = "strict",
    interleaved: Literal[False] = False,
) -> PairReader[Record[str]]: ...
@overload
def read(
    source: Source,
    mate: Source,
    *,
    alphabet: Alphabet,
    batch_size: None = None,
    phred: int | None = None,
    errors: Errors = "strict",
    interleaved: Literal[False] = False,
) -> PairReader[Record[bytes | array.array[int]]]: ...
@overload
def read(
    source: Source,
    mate: None = None,
    *,
    alphabet: None = None,
    batch_size: None = None,
    phred: int | None = None,
    errors: Errors = "strict",
    interleaved: Literal[True],
) -> PairReader[Record[str]]: ...
@overload
def read(
    source: Source,
    mate: None = None,
    *,
    alphabet: Alphabet,
    batch_size: None = None,
    phred: int | None = None,
    errors: Errors = "strict",
    interleaved: Literal[True],
) -> PairReader[Record[bytes | array.array[int]]]: ...
def read(
    source: Source,
    mate: Source | None = None,
    *,
    alphabet: Alphabet | None = None,
    batch_size: int | None = None,
    phred: int | None = None,
    errors: Errors = "strict",
    interleaved: bool = False,
) -> _native.Reader[Any] | PairReader[Any]:
    """The records of a FASTA or FASTQ input, one at a time (or in batches).

    `source` is a path, "-" for standard input, or a binary file object.
    The format is told from the first line ('>' FASTA, '@' FASTQ) after an
    optional UTF-8 byte-order mark, and a compression (gzip, BGZF, bz2, xz,
    zstd) from its magic number, so "reads.fq.gz" needs nothing more.  Each
    record has `id` (the header's first word), `description` (the rest of
    the header, "" if none), `sequence` (the lines joined, a str) and
    `quality` (a str for FASTQ, None for FASTA).  Multi-line FASTA and
    FASTQ, CRLF line ends, blank lines, empty records and a last line
    without a line end are read as they are meant.

    With `alphabet`, `sequence` holds the codes instead, exactly as
    `alphabet.encode_all(text)` gives them (tokens included), made in C
    without making the text: the fast way to encode a whole file.  With
    `phred` (33 or 64), `quality` holds bytes of Phred scores.

    With `batch_size=N`, the reader yields RecordBatch objects of up to N
    records each: their sequences (codes, or text bytes) in one buffer with
    int64 offsets, their qualities likewise, their ids and descriptions as
    lists; numpy and pyarrow read the buffers without a copy.

    `read(r1, r2)` yields (record1, record2) pairs of two files in step, and
    `read(p, interleaved=True)` pairs of consecutive records of one file.
    Mates match when their ids agree once a trailing "/1" or "/2" is
    removed; a mismatch, or one file ending before the other, raises
    FormatError naming both records, the files and the line, after the
    pairs before it.

    A symbol the alphabet does not know raises AlphabetError naming the
    record and the line and column of the symbol (also in its `record`,
    `line` and `position`), and a quality character outside the Phred range
    a FormatError naming the record and its line; iteration may go on with
    the next record.  With errors="skip" such records are passed over and
    counted in the reader's `skipped`.

    Malformed input, and a compressed stream that is cut short or corrupt,
    raise FormatError (see there) once the records before the fault have
    been yielded (for corrupt data, those before the last megabyte of
    compressed input ahead of it: a decompressor gives nothing of the step
    that meets the damage).  The reader closes a file it opened when the input ends,
    when its `close()` is called (it is also a context manager), or when it
    is collected; a file object passed in is left open.
    """
    options = _Options(alphabet, batch_size, phred, errors)
    if mate is not None or interleaved:
        # The pairs skip a pair whose record does not code; the readers
        # under them must not skip one record alone.
        options = _Options(alphabet, batch_size, phred, "strict")
        if batch_size is not None:
            raise ValueError("batch_size does not combine with pairs; read each file in batches")
        if mate is not None and interleaved:
            raise ValueError("interleaved=True reads pairs from one file: pass no mate")
        first = _open_with(source, options)
        try:
            second = _open_with(mate, options) if mate is not None else None
        except BaseException:
            first.close()
            raise
        return PairReader(first, second, _name_of(source), _name_of(source if mate is None else mate),
                          skip=errors == "skip")  # fmt: skip
    return _open_with(source, options)


class _Options:
    """read()'s options, checked once, as the native reader takes them."""

    def __init__(
        self,
        alphabet: Alphabet | None,
        batch_size: int | None,
        phred: int | None,
        errors: str,
        chunk_size: int = CHUNK_SIZE,
        threads: int | None = None,
    ) -> None:
        self.codec = _codec_of(alphabet)
        if batch_size is not None and (
            not isinstance(batch_size, int) or isinstance(batch_size, bool) or batch_size < 1
        ):
            raise ValueError(f"batch_size must be a positive int, not {batch_size!r}")
        if phred not in (None, 33, 64):
            raise ValueError(f"phred must be 33, 64 or None, not {phred!r}")
        if errors not in ("strict", "skip"):
            raise ValueError(f"errors must be 'strict' or 'skip', not {errors!r}")
        self.native = {
            "codec": self.codec,
            "chunk_size": chunk_size,
            "phred": phred or 0,
            "skip": errors == "skip",
            "batch_size": batch_size or 0,
        }
        self.threads = threads

    def reader(self, source: object, **more: object) -> _native.Reader[object]:
        return _native.Reader(source, **more, **self.native)  # type: ignore[arg-type]


def _name_of(source: object) -> str:
    if isinstance(source, (str, os.PathLike)):
        return "standard input" if source == "-" else os.fsdecode(source)
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else f"the {type(source).__name__} input"


def _open(
    source: object, alphabet: Alphabet | None, chunk_size: int, **options: object
) -> _native.Reader[object]:
    """read(source, alphabet=alphabet, **options) in chunks of `chunk_size`
    bytes (for tests; `threads` bounds the decompressing threads)."""
    threads = cast(int | None, options.pop("threads", None))
    return _open_with(
        source,
        _Options(alphabet, cast(int | None, options.pop("batch_size", None)),
                 cast(int | None, options.pop("phred", None)), str(options.pop("errors", "strict")),
                 chunk_size, threads),
    )  # fmt: skip


def _open_with(source: object, options: _Options) -> _native.Reader[object]:
    if isinstance(source, str) and source == "-":
        return _from_stream(_standard_input(), None, options)
    if isinstance(source, (str, os.PathLike)):
        raw = open(source, "rb", buffering=0)
        try:
            head = _read_head(raw)
            kind = _compression.compression_of(head)
            if kind is not None:
                return _decompressed(head, raw, kind, raw.close, options)
            return options.reader(raw, fd=raw.fileno(), head=head, closer=raw.close)
        except BaseException:
            raw.close()
            raise
    if isinstance(source, (bytes, bytearray, memoryview)) or not hasattr(source, "read"):
        raise TypeError(
            f"read() takes a path, '-' or a binary file object, not {type(source).__name__}"
        )
    return _from_stream(cast(BinaryInput, source), None, options)


def _codec_of(alphabet: Alphabet | None) -> _native.Codec | None:
    """The codec that the native reader encodes every record with: the
    alphabet's own, so that records encode exactly as encode_all does."""
    if alphabet is None:
        return None
    if not isinstance(alphabet, Alphabet):
        raise TypeError(f"alphabet must be an Alphabet or None, not {type(alphabet).__name__}")
    return alphabet._codec()


def _standard_input() -> BinaryInput:
    stdin = sys.stdin
    if stdin is None or stdin.closed:
        raise OSError("standard input is closed")
    # The binary layer under the text stream; a replacement without one
    # (a BytesIO) is binary itself.
    return cast(BinaryInput, getattr(stdin, "buffer", stdin))


def _read_head(stream: BinaryInput) -> bytes:
    """The first bytes of `stream`, as many as tell its compression: one
    read's worth of plain text (a pipe's first record must not wait for
    more), more only while they may still start a compressed stream."""
    read = getattr(stream, "read1", stream.read)
    head = b""
    while _compression.needs_more(head):
        more = read(_compression.HEAD_SIZE - len(head))
        if isinstance(more, str):
            raise TypeError("the file is open in text mode; read() needs binary mode ('rb')")
        if more is None:
            raise BlockingIOError("the source has no data ready (non-blocking)")
        if not more:
            break
        head += more
    return head


def _from_stream(
    stream: BinaryInput, close: Callable[[], object] | None, options: _Options
) -> _native.Reader[object]:
    head = _read_head(stream)
    kind = _compression.compression_of(head)
    if kind is not None:
        return _decompressed(head, stream, kind, close, options)
    return options.reader(_OneReadAtATime.of(stream), head=head, closer=close)


def _decompressed(
    head: bytes,
    stream: BinaryInput,
    kind: str,
    close: Callable[[], object] | None,
    options: _Options,
) -> _native.Reader[object]:
    """A reader of the compressed stream that starts with `head` and goes on in `stream`."""
    unpacked = _compression.open_compressed(stream, head, kind, options.threads, close)
    return options.reader(_ReadOnly(unpacked.read), closer=unpacked.close)


class _ReadOnly:
    """A stream with read() alone: the native reader then takes the pieces
    that read() gives whole, without a copy into a buffer of its own."""

    def __init__(self, read: Callable[[int], bytes]) -> None:
        self.read = read


class _OneReadAtATime:
    """A stream whose read() is the read1() of the stream below it.

    A buffered stream's read() and readinto() wait until the whole chunk is
    filled: a pipe's records would wait for a megabyte more input or for its
    end, and a gzip stream that fails partway (truncated, or garbage after a
    member) would drop everything it had unpacked for the chunk.  read1()
    hands on what is buffered, or else what one read brings (readinto1() is
    no help: it reads again even when it has bytes to give), so records are
    yielded as they come and every whole record before a fault is kept.
    """

    def __init__(self, read1: Callable[[int], bytes]) -> None:
        self.read = read1

    @staticmethod
    def of(stream: BinaryInput) -> object:
        read1 = getattr(stream, "read1", None)
        return stream if read1 is None else _OneReadAtATime(read1)
