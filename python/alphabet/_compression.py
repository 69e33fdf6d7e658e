"""Compressed files: which compression a stream holds, and reading it.

Every compression is told by its magic number, never by a file's name:
gzip (any number of members), BGZF (gzip whose blocks carry their size, so
that they are decompressed in parallel across the cores), bz2 and xz
(Python's own modules), and zstd (Python's compression.zstd where it
exists, else the backports.zstd package when installed).

gzip and BGZF go through one backend, chosen once at import: python-isal
when it is installed (`pip install seq-alphabet[fast]`, about twice as fast
as zlib; README.md says why it was chosen), else Python's own zlib and
gzip.  Both give the same bytes and check the same CRCs.  `GZIP_BACKEND`
names it; `gzip_module()` and `zlib_module()` give its gzip-like and
zlib-like modules, for writers that compress with the same backend.

`open_compressed(stream, head, kind)` gives a stream of the decompressed
bytes; `open_input(path_or_stream)` a binary file of them (readline and
all), whatever the compression, none included.
Where a second core exists, decompression runs in a thread beside the
reader of the bytes, which the decompressors let run by releasing the
interpreter lock while they work.  A stream that is cut short or corrupt
raises `BrokenInput` (the reader turns it into a FormatError naming the
line it had reached) after every byte before the fault; an exception of
the stream underneath passes unchanged.

Compressing: `gzip_writer(write, flush, level, threads)` gives a binary
stream that compresses what it is given and hands the result to `write`.
python-isal compresses levels 1 to 3, the fast end, where it is several
times faster than zlib (its level 0 is no stored copy, so 0 stays with
zlib), and with `threads` of 1 or more does so in that many threads of its
own, beside the caller's.  Every other level, and every level without
python-isal, goes through Python's gzip module in the caller's thread.
Both backends make standard gzip: what one writes, the other (and any gzip
reader) reads back to the same bytes.
"""

from __future__ import annotations

import bz2
import collections
import gzip
import importlib
import io
import lzma
import os
import queue
import struct
import threading
import zlib
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from types import ModuleType
from typing import Any, Protocol, cast

from ._errors import BrokenInput, FormatError

# The first bytes that tell a compression (at most HEAD_SIZE of them).
HEAD_SIZE = 18
_GZIP = b"\x1f\x8b"
_BZ2 = b"BZh"
_XZ = b"\xfd7zXZ\x00"
_ZSTD = b"\x28\xb5\x2f\xfd"
_MAGICS = (_GZIP, _BZ2, _XZ, _ZSTD)

# Decompressed bytes asked of the decompressor at a time, and compressed
# bytes given to it at most per call.  A decompressing thread needs the
# interpreter lock back after every call and every read of the file, and
# waits for it while the reader makes records: large steps keep those waits
# few.  The price is the fault's granularity: a decompressor that meets
# corrupt data raises without what it unpacked in that call, so the records
# of up to one step of input before the fault are not given.
_PIECE = 1 << 20
_INPUT = 1 << 20
# A thread decompresses pieces of this size, at most _AHEAD of them ahead
# of the reader.
_THREAD_PIECE = 4 << 20
_AHEAD = 4
# Seconds that close() waits for the decompressing thread's read to return.
_CLOSE_WAIT = 5.0
# BGZF: compressed bytes read at a time, blocks per task of the pool.
_BGZF_READ = 1 << 22
_BGZF_TASK = 8


class BinaryInput(Protocol):
    def read(self, size: int = -1, /) -> bytes | None: ...


def _backend() -> tuple[str, ModuleType, ModuleType]:
    try:
        from isal import igzip, isal_zlib
    except ImportError:
        return "zlib", gzip, zlib
    return "isal", igzip, isal_zlib


GZIP_BACKEND, _GZIP_MODULE, _ZLIB_MODULE = _backend()


def gzip_module() -> ModuleType:
    """The gzip-like module of the backend (GzipFile, open, compress, decompress)."""
    return _GZIP_MODULE


def zlib_module() -> ModuleType:
    """The zlib-like module of the backend (compressobj, decompress, crc32)."""
    return _ZLIB_MODULE


def compression_of(head: bytes) -> str | None:
    """'gzip', 'bgzf', 'bz2', 'xz', 'zstd', or None for none of them, from
    the first bytes of a stream (HEAD_SIZE of them tell BGZF from gzip)."""
    if head.startswith(_GZIP):
        return "bgzf" if _bgzf_block_size(head, 0) is not None else "gzip"
    if head.startswith(_BZ2):
        return "bz2"
    if head.startswith(_XZ):
        return "xz"
    if head.startswith(_ZSTD):
        return "zstd"
    return None


def needs_more(head: bytes) -> bool:
    """Whether compression_of needs more bytes than `head` to tell a
    compression: `head` is shorter than HEAD_SIZE and still a gzip stream or
    the start of a magic number."""
    if len(head) >= HEAD_SIZE:
        return False
    if head.startswith(_GZIP):
        return True
    return any(magic.startswith(head) and len(head) < len(magic) for magic in _MAGICS)


def open_compressed(
    stream: BinaryInput,
    head: bytes,
    kind: str,
    threads: int | None = None,
    close: Callable[[], object] | None = None,
) -> Decompressed:
    """The decompressed bytes of `stream`, which starts with `head` (already
    read from it) and holds `kind` of compression_of().  `threads` bounds
    the threads that decompress (the cores when None; 1 decompresses in the
    caller's thread).  Closing the result calls `close` (which closes
    `stream`, when the caller owns it) once no thread reads `stream`."""
    threads = default_threads() if threads is None else max(1, threads)
    source = _Prefixed(head, stream)
    if kind == "bgzf":
        return _Bgzf(source, threads, close)
    unpacker: _Members
    if kind == "gzip":
        unpacker = _GzipMembers(source)
    elif kind == "zstd":
        unpacker = _Members(source, _zstd_decompressor())
    else:
        unpacker = _Members(source, {"bz2": bz2.BZ2Decompressor, "xz": lzma.LZMADecompressor}[kind])
    decompressed = _Stream(unpacker, source, kind, close)
    return _Prefetched(decompressed) if threads > 1 else decompressed


def _zstd_decompressor() -> Callable[[], Any]:
    for name in ("compression.zstd", "backports.zstd"):
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        return cast(Callable[[], Any], module.ZstdDecompressor)
    raise FormatError(
        "line 1: the input is zstd-compressed, which needs the backports.zstd package "
        "(pip install backports.zstd) on this Python",
        1,
    )


class _Members:
    """The decompressed bytes of a stream of one or more members (bz2 and
    xz streams, zstd frames), each unpacked by a new decompressor of the
    kind that BZ2Decompressor is.  Each call unpacks at most _INPUT
    compressed bytes, so that a fault costs no more than the bytes of one
    call before it (see _INPUT)."""

    def __init__(self, source: _Prefixed, new: Callable[[], Any]) -> None:
        self._source = source
        self._new = new
        self._unpacker = new()

    def read1(self, size: int) -> bytes:
        while True:
            data = b""
            if self._unpacker.eof:
                data = self._unpacker.unused_data or self._source.read(_INPUT)
                if not data:
                    return b""
                self._unpacker = self._new()
            elif self._unpacker.needs_input:
                data = self._source.read(_INPUT)
                if not data:
                    raise EOFError("it ends inside a compressed stream")
            out: bytes = self._unpacker.decompress(data, size)
            if out:
                return out


class _GzipMembers(_Members):
    """The same for gzip members, through the backend's decompressobj (whose
    gzip wrapper checks each member's CRC and length).  Zero bytes between
    members are padding, as gzip itself takes them."""

    def __init__(self, source: _Prefixed) -> None:
        module = _ZLIB_MODULE
        super().__init__(source, lambda: module.decompressobj(31))

    def read1(self, size: int) -> bytes:
        while True:
            if self._unpacker.eof:
                data = self._unpacker.unused_data.lstrip(b"\0")
                while not data:
                    more = self._source.read(_INPUT)
                    if not more:
                        return b""
                    data = more.lstrip(b"\0")
                self._unpacker = self._new()
            else:
                data = self._unpacker.unconsumed_tail or self._source.read(_INPUT)
                if not data:
                    raise EOFError("it ends inside a member")
            out: bytes = self._unpacker.decompress(data, size)
            if out:
                return out


def open_input(
    source: str | os.PathLike[str] | BinaryInput, threads: int | None = None
) -> io.BufferedReader:
    """A binary file of the decompressed bytes of `source` (a path, or a
    binary stream open for reading, which stays open), whatever its
    compression, none included.  A stream cut short or corrupt raises
    BrokenInput when its fault is reached."""
    if isinstance(source, (str, os.PathLike)):
        raw = open(source, "rb", buffering=0)
        close: Callable[[], object] | None = raw.close
        stream: BinaryInput = raw
    else:
        stream, close = source, None
    try:
        head = b""
        read = getattr(stream, "read1", stream.read)
        while needs_more(head) and (more := read(HEAD_SIZE - len(head))):
            head += more
        kind = compression_of(head)
        if kind is None:
            source = _Prefixed(head, stream)
            unpacked: Decompressed = _Stream(_Plain(source), source, "plain", close)
        else:
            unpacked = open_compressed(stream, head, kind, threads, close)
    except BaseException:
        if close is not None:
            close()
        raise
    return io.BufferedReader(_RawOf(unpacked))


class _Plain:
    """The bytes of a stream as they are: read1 of what is not compressed."""

    def __init__(self, source: _Prefixed) -> None:
        self.read1 = source.read


class _RawOf(io.RawIOBase):
    """A raw binary file of what a Decompressed gives."""

    def __init__(self, unpacked: Decompressed) -> None:
        super().__init__()
        self._unpacked = unpacked
        self._rest = b""

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        view = memoryview(buffer).cast("B")
        if not self._rest:
            self._rest = self._unpacked.read(max(len(view), _PIECE))
        count = min(len(view), len(self._rest))
        view[:count] = self._rest[:count]
        self._rest = self._rest[count:]
        return count

    def close(self) -> None:
        if not self.closed:
            try:
                self._unpacked.close()
            finally:
                super().close()


class Decompressed(Protocol):
    """What open_compressed gives: read(size) gives up to `size` bytes, or
    b"" at the end."""

    def read(self, size: int = -1, /) -> bytes: ...
    def close(self) -> None: ...


class _Prefixed:
    """A raw binary stream: `head`, then the rest of `stream`.  An exception
    that `stream` raises is noted, so that it can be told from a fault of the
    compressed data."""

    def __init__(self, head: bytes, stream: BinaryInput) -> None:
        self._head = head
        self._stream = stream
        self.failure: BaseException | None = None

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        if self._head:
            head, self._head = self._head[:size], self._head[size:]
            return head
        try:
            # One read: a pipe's data is unpacked as it arrives.
            data: bytes | None = getattr(self._stream, "read1", self._stream.read)(size)
        except BaseException as error:
            self.failure = error
            raise
        if data is None:
            self.failure = BlockingIOError("the source has no data ready (non-blocking)")
            raise self.failure
        return data

    def readinto(self, buffer: memoryview) -> int:
        view = memoryview(buffer).cast("B")
        data = self.read(len(view))
        view[: len(data)] = data
        return len(data)


def _broken(kind: str, error: BaseException) -> BrokenInput:
    if isinstance(error, EOFError):
        return BrokenInput(f"the {kind} input is cut short ({error})")
    return BrokenInput(f"the {kind} input is corrupt ({type(error).__name__}: {error})")


class _Stream:
    """Decompression in the caller's thread."""

    def __init__(
        self,
        unpacker: _Members | _Plain,
        source: _Prefixed,
        kind: str,
        close: Callable[[], object] | None,
    ) -> None:
        self._read1 = unpacker.read1
        self._close_source = close
        self._source = source
        self._kind = kind

    def read(self, size: int = -1, /) -> bytes:
        try:
            return self._read1(_PIECE if size < 0 else size)
        except BaseException as error:
            if error is self._source.failure or not isinstance(error, Exception):
                raise
            raise _broken(self._kind, error) from error
        finally:
            self._source.failure = None

    def close(self) -> None:
        if self._close_source is not None:
            self._close_source()


class _Prefetched:
    """A stream decompressed by a thread of its own, pieces ahead of the
    reader.  An error ends the thread and is raised once the pieces before
    it are read, and again at every later read."""

    def __init__(self, stream: _Stream) -> None:
        self._stream = stream
        self._pieces: queue.Queue[bytes | BaseException] = queue.Queue(_AHEAD)
        self._failure: BaseException | None = None
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._running = True
        self._closed = False
        self._thread = threading.Thread(target=self._run, name="alphabet-decompress", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            while not self._stop.is_set():
                try:
                    piece: bytes | BaseException = self._stream.read(_THREAD_PIECE)
                except BaseException as error:  # handed to the reader
                    piece = error
                while not self._stop.is_set():
                    try:
                        self._pieces.put(piece, timeout=0.05)
                        break
                    except queue.Full:
                        continue
                if isinstance(piece, BaseException) or not piece:
                    return
        finally:
            with self._lock:
                self._running = False
                # The reader closed while this thread read: the stream is
                # closed here, once its read has returned.
                if self._closed:
                    self._stream.close()

    def read(self, size: int = -1, /) -> bytes:
        if self._failure is not None:
            raise self._failure
        piece = self._pieces.get()
        if isinstance(piece, BaseException):
            self._failure = piece
            raise piece
        if not piece:
            self._pieces.put(piece)  # the end stays the end
        return piece

    def close(self) -> None:
        self._stop.set()
        # Room in the queue, so that a thread waiting to hand on a piece sees
        # the stop at once; then its read is let finish, so that the file is
        # closed when close() returns.
        try:
            while True:
                self._pieces.get_nowait()
        except queue.Empty:
            pass
        self._thread.join(timeout=_CLOSE_WAIT)
        with self._lock:
            self._closed = True
            if self._running:
                return  # a read that blocks (a pipe): the thread closes it after
        self._stream.close()


def _bgzf_block_size(data: bytes | memoryview, at: int) -> int | None:
    """The size of the BGZF block at `at` of `data`, or None when the bytes
    there (HEAD_SIZE or more of them) do not start one."""
    if len(data) - at < HEAD_SIZE or data[at : at + 2] != _GZIP or data[at + 3] & 4 == 0:
        return None
    (extra_length,) = struct.unpack_from("<H", data, at + 10)
    field, end = at + 12, at + 12 + extra_length
    while field + 4 <= end and field + 4 <= len(data):
        tag = bytes(data[field : field + 2])
        (length,) = struct.unpack_from("<H", data, field + 2)
        if tag == b"BC" and length == 2 and field + 6 <= len(data):
            return int(struct.unpack_from("<H", data, field + 4)[0]) + 1
        field += 4 + length
    return None


class _Bgzf:
    """BGZF: the blocks are cut apart by their sizes and decompressed by a
    pool of threads, tasks of a few blocks each, in order.  A block that is
    cut short, corrupt or not BGZF raises BrokenInput after the blocks
    before it."""

    def __init__(self, source: _Prefixed, threads: int, close: Callable[[], object] | None) -> None:
        self._source = source
        self._close_source = close
        self._pool = ThreadPoolExecutor(threads, "alphabet-bgzf") if threads > 1 else None
        self._ahead = 2 * threads + 2
        self._tasks: collections.deque[Future[tuple[bytes, BaseException | None]]] = (
            collections.deque()
        )
        self._rest = b""  # compressed bytes of a block not yet whole
        self._offset = 0  # of the first byte of _rest in the file
        self._ended = False
        self._failure: BaseException | None = None

    def read(self, size: int = -1, /) -> bytes:
        while True:
            if self._failure is not None:
                raise self._failure
            while not self._ended and len(self._tasks) < self._ahead:
                self._cut()
            if not self._tasks:
                return b""
            data, failure = self._tasks.popleft().result()
            if failure is not None:
                # The tasks behind it are not needed.
                self._failure, self._ended = failure, True
                self._tasks.clear()
            if data:  # a task of empty blocks (the end marker) gives none
                return data

    def _cut(self) -> None:
        """Reads compressed bytes and hands their whole blocks to the pool."""
        more = self._source.read(_BGZF_READ)
        data = self._rest + more if self._rest else more
        blocks: list[tuple[int, int]] = []
        at, failure = 0, None
        while at < len(data):
            size = _bgzf_block_size(data, at)
            if size is None and len(data) - at >= HEAD_SIZE:
                failure = BrokenInput(
                    f"the BGZF input is corrupt (no BGZF block at byte {self._offset + at})"
                )
                break
            if size is None or at + size > len(data):
                break  # the rest of the block is still to come
            blocks.append((at, at + size))
            at += size
        if not more and failure is None and at < len(data):
            failure = BrokenInput(
                f"the BGZF input is cut short (its last block, at byte {self._offset + at}, "
                f"has {len(data) - at} bytes)"
            )
        self._rest = data[at:]
        for first in range(0, len(blocks), _BGZF_TASK):
            task = blocks[first : first + _BGZF_TASK]
            self._submit(data, task, self._offset)
        if failure is not None or not more:
            self._ended = True
            if failure is not None:
                self._tasks.append(_done((b"", failure)))
        self._offset += at

    def _submit(self, data: bytes, blocks: list[tuple[int, int]], offset: int) -> None:
        if self._pool is None:
            self._tasks.append(_done(_inflate_blocks(data, blocks, offset)))
        else:
            self._tasks.append(self._pool.submit(_inflate_blocks, data, blocks, offset))

    def close(self) -> None:
        self._ended = True
        self._tasks.clear()
        try:
            if self._pool is not None:
                self._pool.shutdown(wait=True, cancel_futures=True)
        finally:
            if self._close_source is not None:
                self._close_source()


def _done(result: tuple[bytes, BaseException | None]) -> Future[tuple[bytes, BaseException | None]]:
    future: Future[tuple[bytes, BaseException | None]] = Future()
    future.set_result(result)
    return future


def _inflate_blocks(
    data: bytes, blocks: list[tuple[int, int]], offset: int
) -> tuple[bytes, BaseException | None]:
    """The decompressed bytes of `blocks` of `data`, and the fault that
    stopped them (None when none did)."""
    view = memoryview(data)
    out = []
    decompress = _ZLIB_MODULE.decompress
    for start, end in blocks:
        (expected,) = struct.unpack_from("<I", data, end - 4)
        try:
            # The gzip wrapper checks the block's CRC and length.
            out.append(decompress(view[start:end], 31, max(expected, 1)))
        except Exception as error:
            failure = BrokenInput(
                f"the BGZF input is corrupt (block at byte {offset + start}: {error})"
            )
            return b"".join(out), failure
    return b"".join(out), None


# gzip's level when output is compressed because of its name: the fast end,
# which for sequence files gives output within a few percent of level 6 at
# several times the speed.
DEFAULT_LEVEL = 1

# The levels python-isal compresses.
_ISAL_LEVELS = range(1, 4)


class CompressedOutput(Protocol):
    """A stream that compresses what is written to it."""

    def write(self, data: bytes, /) -> int: ...

    def close(self) -> None: ...


def _isal(name: str) -> ModuleType | None:
    """isal.<name>, or None when python-isal is not installed."""
    try:
        return importlib.import_module(f"isal.{name}")
    except ImportError:
        return None


def default_threads() -> int:
    """Compression threads by default: one per core this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def compressor_name(level: int, threads: int) -> str:
    """Which backend gzip_writer uses for `level` and `threads`, for messages
    and benchmarks."""
    if level in _ISAL_LEVELS and _isal("igzip") is not None:
        return f"python-isal, {threads} threads" if threads > 0 else "python-isal"
    return "Python's gzip"


def gzip_writer(
    write: Callable[[bytes], object], flush: Callable[[], object], level: int, threads: int
) -> CompressedOutput:
    """A stream that hands the gzip form of what it is given to `write`
    (which must take all of it), at `level`.

    Closing it ends the gzip data and calls `flush`; what `write` writes
    into stays open.  `threads` > 0 lets python-isal compress in that many
    threads.
    """
    kept = _KeptOpen(write, flush)
    if level in _ISAL_LEVELS:
        if threads > 0:
            threaded = _isal("igzip_threaded")
            if threaded is not None:
                made: CompressedOutput = threaded.open(
                    kept, "wb", compresslevel=level, threads=threads
                )
                return made
        igzip = _isal("igzip")
        if igzip is not None:
            single: CompressedOutput = igzip.IGzipFile(
                fileobj=kept, mode="wb", compresslevel=level, mtime=0
            )
            return single
    return gzip.GzipFile(fileobj=kept, mode="wb", compresslevel=level, mtime=0)


class _KeptOpen:
    """The stream a compressor writes into, made of `write` and `flush`:
    its close() only flushes, since a compressor closes what it writes into
    and the caller may own that."""

    def __init__(self, write: Callable[[bytes], object], flush: Callable[[], object]) -> None:
        self._write, self._flush = write, flush
        self.closed = False

    def write(self, data: bytes) -> int:
        self._write(data)
        return len(data)

    def flush(self) -> None:
        self._flush()

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self._flush()

    def writable(self) -> bool:
        return True
