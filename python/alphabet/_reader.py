"""Reading FASTA and FASTQ: alphabet.read, the records it yields and its errors.

The parsing is native (alphabet._native.Reader over the parser in formats/):
a file named by a path is read in chunks with the interpreter lock released;
a file object (standard input, a gzip stream) is read with readinto.  Only
the record being assembled and one chunk are held, however large the file.
"""

from __future__ import annotations

import array
import gzip
import io
import os
import sys
from collections.abc import Callable
from typing import Protocol, cast, overload

from . import _native
from ._alphabets import Alphabet

Record = _native.Record
Reader = _native.Reader

# Bytes read from the source at a time.
CHUNK_SIZE = 1 << 20
_GZIP_MAGIC = b"\x1f\x8b"


class FormatError(ValueError):
    """Input that is not FASTA or FASTQ: no header, a FASTQ record cut short
    or missing its '+' line, a quality as long as no sequence, text that is
    not UTF-8.

    The message starts "line N: " and `line` holds N, the line where reading
    could not go on (lines count from 1).  Records read before it are
    complete and stay valid.
    """

    line: int

    def __init__(self, message: str, line: int) -> None:
        super().__init__(message)
        self.line = line

    def __reduce__(self) -> tuple[type[FormatError], tuple[str, int]]:
        return type(self), (str(self), self.line)


class BinaryInput(Protocol):
    """What read() takes as a file object: a binary file open for reading."""

    def read(self, size: int = -1, /) -> bytes | None: ...


type Source = str | os.PathLike[str] | BinaryInput


@overload
def read(source: Source, *, alphabet: None = None) -> _native.Reader[str]: ...
@overload
def read(source: Source, *, alphabet: Alphabet) -> _native.Reader[bytes | array.array[int]]: ...
def read(
    source: Source, *, alphabet: Alphabet | None = None
) -> _native.Reader[str] | _native.Reader[bytes | array.array[int]]:
    """The records of a FASTA or FASTQ input, one at a time.

    `source` is a path, "-" for standard input, or a binary file object.
    The format is told from the first line ('>' FASTA, '@' FASTQ) after an
    optional UTF-8 byte-order mark, and gzip from its magic number, so
    "reads.fq.gz" needs nothing more.  Each record has `id` (the header's
    first word), `description` (the rest of the header, "" if none),
    `sequence` (the lines joined, a str) and `quality` (a str for FASTQ,
    None for FASTA).  Multi-line FASTA and FASTQ, CRLF line ends, blank
    lines, empty records and a last line without a line end are read as
    they are meant.

    With `alphabet`, `sequence` holds the codes instead, exactly as
    `alphabet.encode_all(text)` gives them (tokens included), made in C
    without making the text: the fast way to encode a whole file.  A symbol
    the alphabet does not know raises AlphabetError naming the record and
    its line; iteration may go on with the next record.

    Malformed input raises FormatError (see there) once the records before
    the fault have been yielded.  The reader closes a file it opened when
    the input ends, when its `close()` is called (it is also a context
    manager), or when it is collected; a file object passed in is left
    open.
    """
    return _open(source, alphabet, CHUNK_SIZE)


def _open(
    source: Source, alphabet: Alphabet | None, chunk_size: int
) -> _native.Reader[str] | _native.Reader[bytes | array.array[int]]:
    codec = _codec_of(alphabet)
    if isinstance(source, str) and source == "-":
        return _from_stream(_standard_input(), None, codec, chunk_size)
    if isinstance(source, (str, os.PathLike)):
        raw = open(source, "rb", buffering=0)
        try:
            head = _read_head(raw)
            if head == _GZIP_MAGIC:
                return _unzipped(head, raw, raw.close, codec, chunk_size)
            return _native.Reader(raw, fd=raw.fileno(), head=head, closer=raw.close, codec=codec,
                                  chunk_size=chunk_size)  # fmt: skip
        except BaseException:
            raw.close()
            raise
    if isinstance(source, (bytes, bytearray, memoryview)) or not hasattr(source, "read"):
        raise TypeError(
            f"read() takes a path, '-' or a binary file object, not {type(source).__name__}"
        )
    return _from_stream(source, None, codec, chunk_size)


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
    """The first two bytes of `stream` (fewer only at its end)."""
    head = b""
    while len(head) < 2:
        more = stream.read(2 - len(head))
        if isinstance(more, str):
            raise TypeError("the file is open in text mode; read() needs binary mode ('rb')")
        if more is None:
            raise BlockingIOError("the source has no data ready (non-blocking)")
        if not more:
            break
        head += more
    return head


def _from_stream(
    stream: BinaryInput,
    close: Callable[[], object] | None,
    codec: _native.Codec | None,
    chunk_size: int,
) -> _native.Reader[str] | _native.Reader[bytes | array.array[int]]:
    head = _read_head(stream)
    if head == _GZIP_MAGIC:
        return _unzipped(head, stream, close, codec, chunk_size)
    return _native.Reader(_OneReadAtATime.of(stream), head=head, closer=close, codec=codec,
                          chunk_size=chunk_size)  # fmt: skip


def _unzipped(
    head: bytes,
    stream: BinaryInput,
    close: Callable[[], object] | None,
    codec: _native.Codec | None,
    chunk_size: int,
) -> _native.Reader[str] | _native.Reader[bytes | array.array[int]]:
    """A reader of the gzip stream that starts with `head` and goes on in `stream`."""
    unzipped = gzip.GzipFile(fileobj=_Prefixed(head, stream), mode="rb")

    def close_both() -> None:
        try:
            unzipped.close()
        finally:
            if close is not None:
                close()

    return _native.Reader(_OneReadAtATime.of(unzipped), closer=close_both, codec=codec,
                          chunk_size=chunk_size)  # fmt: skip


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


class _Prefixed(io.RawIOBase):
    """A binary stream: `head`, then the rest of `stream`."""

    def __init__(self, head: bytes, stream: BinaryInput) -> None:
        super().__init__()
        self._head = head
        self._stream = stream

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int | None:  # type: ignore[override]
        view = memoryview(buffer).cast("B")
        data: bytes | None = self._head[: len(view)]
        if data:
            self._head = self._head[len(data) :]
        else:
            # One read: a pipe's gzip data is unpacked as it arrives.
            data = getattr(self._stream, "read1", self._stream.read)(len(view))
        if data is None:
            return None
        view[: len(data)] = data
        return len(data)
