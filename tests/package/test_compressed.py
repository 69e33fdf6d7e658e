"""Compressed input: every compression read as the plain text is, by either
gzip backend, in the caller's thread or beside it; a stream cut short or
corrupt anywhere ends in a FormatError naming the line, after every whole
record before the fault."""

import bz2
import gzip
import importlib
import importlib.util
import io
import lzma
import shutil
import zlib

import pytest

import alphabet as ab
from alphabet import FormatError, _compression
from alphabet._reader import _open
from helpers import Trickle, bgzf, fastq, run_tool

TEXT = fastq(4000)
RECORDS = None


def plain_records():
    global RECORDS
    if RECORDS is None:
        RECORDS = list(ab.read(io.BytesIO(TEXT)))
    return RECORDS


def zstd_module():
    for name in ("compression.zstd", "backports.zstd"):
        if importlib.util.find_spec(name.split(".")[0]) and importlib.util.find_spec(name):
            return importlib.import_module(name)
    return None


def bgzip_tool(data):
    run = run_tool("bgzip", "-c", input=data, check=True)
    return run.stdout


COMPRESSIONS = {
    "gzip": gzip.compress,
    "gzip, many members": lambda d: b"".join(gzip.compress(d[i : i + 5000]) for i in range(0, len(d), 5000)),
    "bgzf": bgzf,
    "bgzf, small blocks": lambda d: bgzf(d, 700),
    "bz2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda d: zstd_module().compress(d),
    "bgzip": bgzip_tool,
}  # fmt: skip


def compress(kind, data):
    if kind == "zstd" and zstd_module() is None:
        pytest.skip("no zstd module")
    if kind == "bgzip" and shutil.which("bgzip") is None:
        pytest.skip("bgzip (Debian's tabix) is not installed")
    return COMPRESSIONS[kind](data)


def reader(source, threads, **options):
    return _open(source, options.pop("alphabet", None), 1 << 20, threads=threads, **options)


@pytest.fixture(params=["isal", "zlib"])
def backend(request, monkeypatch):
    """Each gzip backend in turn: the optional one, where installed, and Python's own."""
    if request.param == "zlib":
        monkeypatch.setattr(_compression, "_GZIP_MODULE", gzip)
        monkeypatch.setattr(_compression, "_ZLIB_MODULE", zlib)
    elif _compression.GZIP_BACKEND != "isal":
        pytest.skip("isal is not installed")
    return request.param


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", COMPRESSIONS)
def test_every_compression_reads_as_the_plain_text(tmp_path, backend, kind, threads):
    data = compress(kind, TEXT)
    assert _compression.compression_of(data[: _compression.HEAD_SIZE]) == (
        "bgzf" if kind.startswith("bgz") else kind.split(",")[0]
    )
    path = tmp_path / "reads.fq.z"
    path.write_bytes(data)
    assert list(reader(path, threads)) == plain_records()
    # A file object fed a few bytes at a time, and the standard batches.
    assert list(reader(Trickle(data, 4093), threads)) == plain_records()
    batches = list(reader(path, threads, batch_size=1000))
    assert [r for batch in batches for r in batch] == plain_records()


def readable_prefix(kind, data):
    """The text that the compressed bytes `data` (cut short or damaged)
    unpack to, as far as whole units go: what no reader can do better than."""
    if kind.startswith("bgz"):
        out, at = [], 0
        while (size := _compression._bgzf_block_size(data, at)) and at + size <= len(data):
            try:
                out.append(zlib.decompress(data[at : at + size], 31))
            except zlib.error:
                break
            at += size
        return b"".join(out)
    unpacker = {
        "bz2": bz2.BZ2Decompressor,
        "xz": lzma.LZMADecompressor,
        "zstd": lambda: zstd_module().ZstdDecompressor(),
    }.get(kind, lambda: zlib.decompressobj(31))()
    out = []
    while data:
        try:
            out.append(unpacker.decompress(data))
        except Exception:
            break
        if not getattr(unpacker, "eof", False):
            break
        data = unpacker.unused_data
        unpacker = type(unpacker)() if kind in ("bz2", "xz") else zlib.decompressobj(31)
    return b"".join(out)


def whole_records(text):
    """FASTQ records of four lines whose last line end is in `text`."""
    return text.count(b"\n") // 4


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize(
    "kind", ["gzip", "gzip, many members", "bgzf, small blocks", "bz2", "xz", "zstd"]
)
def test_a_stream_cut_short_names_the_line_after_every_whole_record(tmp_path, kind, threads):
    data = compress(kind, TEXT)
    for fraction in (0.0, 0.03, 0.2, 0.45, 0.7, 0.93, 0.999):
        cut = data[: 12 + int((len(data) - 20) * fraction)]
        path = tmp_path / f"cut{len(cut)}"
        path.write_bytes(cut)
        got = []
        with pytest.raises(FormatError) as info:
            for record in reader(path, threads):
                got.append(record)
        assert got == plain_records()[: len(got)], (kind, len(cut))
        assert len(got) >= whole_records(readable_prefix(kind, cut)) - 1, (kind, len(cut))
        # The line named is where reading stopped: inside the record after
        # the last whole one.
        assert 4 * len(got) < info.value.line <= 4 * len(got) + 5, (kind, len(cut), info.value)
        assert str(info.value).startswith(f"line {info.value.line}: the ")
        assert "cut short" in str(info.value)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", ["gzip", "bgzf, small blocks", "bz2", "xz"])
def test_a_corrupt_stream_is_a_format_error_after_the_records_before_it(
    tmp_path, monkeypatch, kind, threads
):
    # Small steps of compressed input, so that what a fault costs is small.
    step = 2048
    monkeypatch.setattr(_compression, "_INPUT", step)
    data = compress(kind, TEXT)
    for fraction in (0.03, 0.45, 0.93, 0.999):
        at = 12 + int((len(data) - 20) * fraction)
        path = tmp_path / f"flipped{at}"
        path.write_bytes(data[:at] + bytes([data[at] ^ 0x55]) + data[at + 1 :])
        got = []
        with pytest.raises(FormatError):
            for record in reader(path, threads):
                got.append(record)
        # What the bytes before the damage unpack to came out as it is, but
        # for the step that the fault fell in.
        intact = max(0, whole_records(readable_prefix(kind, data[: max(0, at - step)])) - 1)
        assert len(got) >= intact and got[:intact] == plain_records()[:intact], (kind, at)


def test_a_plain_eof_error_of_a_source_is_a_format_error(tmp_path):
    # A file object that decompresses by itself (the user's own gzip.open).
    cut = gzip.compress(TEXT)[:3000]
    got = []
    with pytest.raises(FormatError, match="the input ends early") as info:
        for record in ab.read(gzip.GzipFile(fileobj=io.BytesIO(cut))):
            got.append(record)
    assert isinstance(info.value.__cause__, EOFError)
    assert got == plain_records()[: len(got)]


def test_zstd_without_its_module_is_named(monkeypatch):
    real = importlib.import_module

    def without_zstd(name, *args):
        if "zstd" in name:
            raise ImportError(name)
        return real(name, *args)

    monkeypatch.setattr(importlib, "import_module", without_zstd)
    with pytest.raises(FormatError, match="zstd"):
        ab.read(io.BytesIO(b"\x28\xb5\x2f\xfd" + bytes(20)))


def test_a_decompressing_thread_lets_go_of_the_file_when_closed(tmp_path):
    path = tmp_path / "reads.fq.gz"
    path.write_bytes(gzip.compress(TEXT * 20))
    stream = reader(path, 2)
    next(stream)
    stream.close()
    assert stream.closed and list(stream) == []


@pytest.mark.parametrize("kind", ["plain", "gzip", "bgzf", "bz2", "xz"])
def test_open_input_gives_lines_of_any_compression(tmp_path, kind):
    text = b"".join(b"line %d\n" % i for i in range(50000))
    path = tmp_path / "lines"
    path.write_bytes(text if kind == "plain" else compress(kind, text))
    with _compression.open_input(path) as lines:
        assert lines.readline() == b"line 0\n"
        assert lines.read() == text[len(b"line 0\n") :]
    with _compression.open_input(io.BytesIO(path.read_bytes()), threads=1) as lines:
        assert list(lines)[-1] == b"line 49999\n"
    if kind != "plain":
        with _compression.open_input(io.BytesIO(path.read_bytes()[:-30])) as lines:
            with pytest.raises(_compression.BrokenInput):
                lines.read()
