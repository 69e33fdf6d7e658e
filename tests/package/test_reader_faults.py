"""The reader when things go wrong: a source that fails part-way gives no
record twice; input that cannot start a header is refused at once; a bad
symbol or quality is named by record, line and column, or skipped."""

import io

import pytest

import alphabet as ab
from alphabet import AlphabetError, FormatError
from helpers import BEYOND_SANITIZER_LIMIT, SANITIZED, fastq

TEXT = fastq(300)


class Failing(io.RawIOBase):
    """Gives `data` in steps of `step` bytes, failing once with `error`
    (None: a non-blocking read with nothing ready) after `after` bytes."""

    def __init__(self, data, step, after, error):
        super().__init__()
        self.data, self.step, self.after, self.error = data, step, after, error
        self.at, self.failed = 0, False

    def readable(self):
        return True

    def readinto(self, buffer):
        if self.at >= self.after and not self.failed:
            self.failed = True
            if self.error is None:
                return None
            raise self.error
        count = min(self.step, len(buffer), len(self.data) - self.at)
        buffer[:count] = self.data[self.at : self.at + count]
        self.at += count
        return count


class ReadOnly:
    """The same source with read() alone: the reader keeps what read() gives."""

    def __init__(self, failing):
        self.failing = failing

    def read(self, size):
        buffer = bytearray(min(size, 4096))
        count = self.failing.readinto(buffer)
        return None if count is None else bytes(buffer[:count])


@pytest.mark.parametrize("how", ["readinto", "read"])
@pytest.mark.parametrize("batch_size", [None, 7])
@pytest.mark.parametrize("error", [OSError("disk"), KeyboardInterrupt(), None, ValueError("x")])
def test_a_source_that_fails_part_way_gives_no_record_twice(error, batch_size, how):
    source = Failing(TEXT, 1000, len(TEXT) // 2, error)
    reader = ab.read(source if how == "readinto" else ReadOnly(source), batch_size=batch_size)
    got = []
    with pytest.raises(BaseException) as info:
        for item in reader:
            got += list(item) if batch_size else [item]
    assert info.type is (BlockingIOError if error is None else type(error))
    for item in reader:  # goes on where the source left off
        got += list(item) if batch_size else [item]
    assert [r.id for r in got] == [f"r{i}" for i in range(300)]


@pytest.mark.parametrize("batch_size", [None, 7])
def test_a_source_that_ends_early_is_a_format_error_naming_the_line(batch_size):
    source = Failing(TEXT, 1000, len(TEXT) // 2, EOFError("cut"))
    got = []
    with pytest.raises(FormatError, match=r"the input ends early \(cut\)") as info:
        for item in ab.read(source, batch_size=batch_size):
            got += list(item) if batch_size else [item]
    assert [r.id for r in got] == [f"r{i}" for i in range(len(got))]
    assert 4 * len(got) < info.value.line <= 4 * len(got) + 4


@pytest.mark.parametrize(
    "data, line, message",
    [
        (b"\x00" * (1 << 22), 1, "found '\\x00\\x00"),
        (b"\n\n  \n" + b"x" * (1 << 22), 4, "found 'xxxx"),
        (b"@a\nA\n+\nI\n" + b"\x00" * (1 << 22), 5, "FASTQ header line starting with '@', found '\\x00"),
        (b"\xef\xbb\xbf" + b"\xff" * 100, 1, "found ''..."),
    ],
)  # fmt: skip
def test_a_line_that_cannot_start_a_header_is_refused_at_once(data, line, message):
    # One chunk holds the whole line start; the line's end is never needed.
    class Endless(io.RawIOBase):
        given = 0

        def readable(self):
            return True

        def readinto(self, buffer):
            if self.given > len(data):
                raise AssertionError("read past the start of the line")
            piece = data[self.given : self.given + min(len(buffer), 65536)]
            buffer[: len(piece)] = piece
            self.given += len(piece)
            return len(piece)

    source = Endless()
    with pytest.raises(FormatError) as info:
        list(ab.read(source))
    assert info.value.line == line and message in str(info.value)
    assert source.given <= 2 * 65536


def test_dev_zero_is_refused_at_once():
    with pytest.raises(FormatError, match="line 1: expected a header"):
        next(ab.read("/dev/zero"))


@pytest.mark.parametrize("batch_size", [None, 4])
def test_an_unknown_symbol_is_named_by_record_line_and_column(batch_size):
    data = b">ok\nACGT\n>bad one\nACGT\nACGT\nAXGT\n>next\nG\n"
    reader = ab.read(io.BytesIO(data), alphabet=ab.dna(), batch_size=batch_size)
    next(reader)
    with pytest.raises(AlphabetError) as info:
        next(reader)
    error = info.value
    assert (error.record, error.line, error.position) == ("bad", 6, 9)
    assert str(error) == "record 'bad' (line 6, column 2): Symbol 'X' not in alphabet at position 9"
    rest = next(reader)
    assert [r.id for r in (rest if batch_size else [rest])] == ["next"]


def test_a_symbol_beyond_ascii_is_placed_by_characters():
    data = ">r\nAé\nGGÿTT\n".encode()
    with pytest.raises(AlphabetError) as info:
        list(ab.read(io.BytesIO(data), alphabet=ab.Alphabet("ACGTé")))
    assert (info.value.line, info.value.position) == (3, 4)
    assert "(line 3, column 3)" in str(info.value)


@pytest.mark.parametrize("phred", [33, 64])
@pytest.mark.parametrize("batch_size", [None, 3])
def test_qualities_as_phred_scores(phred, batch_size):
    quality = "".join(chr(phred + q) for q in (0, 10, 40))
    data = f"@a\nACG\n+\n{quality}\n@b\nAC\n+\n{chr(phred - 1)}{chr(phred)}\n@c\nA\n+\n~\n".encode()
    reader = ab.read(io.BytesIO(data), phred=phred, batch_size=batch_size)
    first = next(reader)
    assert (first[0] if batch_size else first).quality == bytes([0, 10, 40])
    with pytest.raises(FormatError) as info:
        next(reader)
    assert info.value.line == 8 and "record 'b'" in str(info.value)
    assert "column 1, below the Phred" in str(info.value)
    last = next(reader)
    assert (last[0] if batch_size else last).quality == bytes([ord("~") - phred])


def test_skipped_records_are_counted():
    data = b"@a\nAC\n+\nII\n@b\nAX\n+\nII\n@c\nGG\n+\n!#\n@d\nT\n+\n\x1f\n"
    reader = ab.read(io.BytesIO(data), alphabet=ab.dna(), phred=33, errors="skip")
    assert [r.id for r in reader] == ["a", "c"] and reader.skipped == 2


@pytest.mark.parametrize(
    "options, error", [({"phred": 40}, "phred"), ({"batch_size": 0}, "batch_size"), ({"errors": "ignore"}, "errors")]
)  # fmt: skip
def test_options_out_of_range_are_refused(options, error):
    with pytest.raises(ValueError, match=error):
        ab.read(io.BytesIO(b">a\n"), **options)


@pytest.mark.skipif(SANITIZED, reason=BEYOND_SANITIZER_LIMIT)
def test_a_chunk_too_large_for_a_file_descriptor_is_a_memory_error(tmp_path):
    from alphabet import _native

    path = tmp_path / "r.fa"
    path.write_bytes(b">r\nAC\n")
    with open(path, "rb") as f, pytest.raises(MemoryError):
        _native.Reader(f, fd=f.fileno(), chunk_size=2**62)
