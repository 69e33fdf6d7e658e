"""alphabet.read: FASTA and FASTQ from every kind of source, and what it refuses."""

import gc
import gzip
import io
import os
import pickle
import signal
import subprocess
import sys
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import alphabet as ab
from alphabet import FormatError, Record
from alphabet._reader import _open
from helpers import Trickle


def fields(records):
    return [(r.id, r.description, r.sequence, r.quality) for r in records]


def via_path(tmp_path, data, chunk_size):
    path = tmp_path / "input"
    path.write_bytes(data)
    return list(_open(path, None, chunk_size))


def via_gzip_path(tmp_path, data, chunk_size):
    path = tmp_path / "input.gz"
    path.write_bytes(gzip.compress(data))
    return list(_open(str(path), None, chunk_size))


def via_file_object(tmp_path, data, chunk_size):
    return list(_open(io.BytesIO(data), None, chunk_size))


def via_trickle(tmp_path, data, chunk_size):
    return list(_open(Trickle(data, 3), None, chunk_size))


def via_gzip_trickle(tmp_path, data, chunk_size):
    return list(_open(Trickle(gzip.compress(data), 1), None, chunk_size))


SOURCES = [via_path, via_gzip_path, via_file_object, via_trickle, via_gzip_trickle]

AWKWARD = {
    "multi-line": (
        b">r1 first read\nACGT\nGG\n>r2\nCC\n",
        [("r1", "first read", "ACGTGG", None), ("r2", "", "CC", None)],
    ),
    "crlf, no final line end": (
        b">r1 d\r\nAC\r\nGT\r\n>r2\r\nTT",
        [("r1", "d", "ACGT", None), ("r2", "", "TT", None)],
    ),
    "byte-order mark": (b"\xef\xbb\xbf>r\nAC\n", [("r", "", "AC", None)]),
    "blank lines": (
        b"\n>a\n\nAC\n \nGT\n\n>b\n\n",
        [("a", "", "ACGT", None), ("b", "", "", None)],
    ),
    "empty records": (
        b">a\n>b\nA\n>c",
        [("a", "", "", None), ("b", "", "A", None), ("c", "", "", None)],
    ),
    "empty file": (b"", []),
    "fastq, multi-line, crlf": (
        b"@r1 x y\r\nAC\r\nGT\r\n+\r\n@I\r\n+I\r\n@r2\nG\n+r2\nI",
        [("r1", "x y", "ACGT", "@I+I"), ("r2", "", "G", "I")],
    ),
    "utf-8 text": (
        ">r\u00e9 \u20ac\nA\u00e9\n".encode(),
        [("r\u00e9", "\u20ac", "A\u00e9", None)],
    ),
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("chunk_size", [1, 7, 1 << 20])
@pytest.mark.parametrize("case", AWKWARD)
def test_awkward_inputs_read_as_meant(tmp_path, source, chunk_size, case):
    data, expected = AWKWARD[case]
    assert fields(source(tmp_path, data, chunk_size)) == expected


MALFORMED = {
    # input, line, message after "line N: "
    "no header": (b"ACGT\n>r\nA\n", 1, "expected a header line starting with '>' (FASTA) or '@'"),
    "truncated": (b"@ok\nA\n+\nI\n@r\nAC\n", 5, "FASTQ record 'r' is cut short"),
    "no quality": (b"@ok\nA\n+\nI\n@r\nAC\n+\n", 5, "before its quality"),
    "quality length": (b"@ok\nA\n+\nI\n@r\nAC\n+\nI\n@s\nA\n+\nI\n", 8, "has 1 characters, its sequence 2"),
    "missing '+' line": (b"@ok\nA\n+\nI\n@r\nAC\nII\n@s\n", 8, "expected the '+' line of FASTQ record 'r'"),
    "not utf-8": (b">ok\nA\n>r\xff\nA\n", 3, "not UTF-8: byte 0xff at column 3"),
}  # fmt: skip


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("case", MALFORMED)
def test_malformed_input_names_its_line_after_the_records_before_it(tmp_path, source, case):
    data, line, message = MALFORMED[case]
    path = tmp_path / "input"
    path.write_bytes(gzip.compress(data) if "gzip" in source.__name__ else data)
    reader = {
        via_path: lambda: _open(path, None, 5),
        via_gzip_path: lambda: _open(path, None, 5),
        via_file_object: lambda: _open(io.BytesIO(data), None, 1 << 20),
        via_trickle: lambda: _open(Trickle(data, 2), None, 3),
        via_gzip_trickle: lambda: _open(Trickle(path.read_bytes(), 1), None, 3),
    }[source]()
    got = []
    with pytest.raises(FormatError) as info:
        for record in reader:
            got.append(record)
    assert isinstance(info.value, ValueError)
    assert info.value.line == line
    assert str(info.value).startswith(f"line {line}: ") and message in str(info.value)
    assert [r.id for r in got] == (["ok"] if b"ok" in data else [])
    assert got == [Record("ok", "", "A", None if data[:1] == b">" else "I")] * len(got)
    assert reader.closed and list(reader) == []


records = st.lists(
    st.tuples(
        st.text(st.characters(exclude_categories=("Cc", "Cs", "Zs", "Zl", "Zp")), max_size=8),
        st.text(st.characters(exclude_categories=("Cc", "Cs", "Zl", "Zp")), max_size=12).map(
            str.strip
        ),
        # No character that starts a header or a '+' line: any may start a line.
        st.text(
            st.characters(exclude_categories=("Cc", "Cs", "Z"), exclude_characters="+@>"),
            max_size=40,
        ),
    ),
    max_size=6,
)


@settings(max_examples=150, deadline=None)
@given(
    records=records,
    fastq=st.booleans(),
    width=st.integers(1, 50),
    eol=st.sampled_from(["\n", "\r\n"]),
    chunk_size=st.sampled_from([1, 3, 64, 1 << 20]),
    gzipped=st.booleans(),
)
def test_written_records_read_back(records, fastq, width, eol, chunk_size, gzipped):
    expected, text = [], []
    for rid, description, sequence in records:
        if not rid:
            description = ""  # a header that starts with a space has an empty id
        quality = "".join(chr(33 + ord(c) % 90) for c in sequence) if fastq else None
        expected.append((rid, description, sequence, quality))
        text.append(("@" if fastq else ">") + rid + (" " + description if description else ""))
        text += [sequence[i : i + width] for i in range(0, len(sequence), width)]
        if fastq:
            text.append("+")
            text += [quality[i : i + width] for i in range(0, len(sequence), width)]
    data = eol.join(text).encode()
    if gzipped:
        data = gzip.compress(data)
    assert fields(_open(io.BytesIO(data), None, chunk_size)) == expected


def test_standard_input_as_dash():
    code = "import alphabet; print([tuple(r.__reduce__()[1]) for r in alphabet.read('-')])"
    data = gzip.compress(b">a\nAC\nGT\n>b d\n")
    proc = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, timeout=60)
    assert proc.stderr == b""
    assert proc.stdout.decode() == "[('a', '', 'ACGT', None), ('b', 'd', '', None)]\n"
    proc = subprocess.run([sys.executable, "-c", code], stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60)  # fmt: skip
    assert proc.stdout == b"[]\n"


@pytest.mark.parametrize("damage", ["truncated", "garbage after it"])
def test_a_broken_gzip_stream_keeps_every_whole_record_before_the_break(tmp_path, damage):
    text = b"".join(b">r%d\n%s\n" % (i, b"ACGT" * 40) for i in range(30000))
    packed = gzip.compress(text)
    data = packed[: len(packed) * 3 // 4] if damage == "truncated" else packed + b"garbage!"
    path = tmp_path / "broken.fa.gz"
    path.write_bytes(data)
    # What gzip unpacks before the break: its records followed by the next
    # header are whole (the last one may go on past the break).
    unpacked, stream = [], gzip.GzipFile(fileobj=io.BytesIO(data))
    with pytest.raises((EOFError, gzip.BadGzipFile)):
        while piece := stream.read1(1 << 16):
            unpacked.append(piece)
    whole = b"".join(unpacked).count(b"\n>")
    assert whole > 20000
    got = []
    with pytest.raises((EOFError, gzip.BadGzipFile)):
        for record in ab.read(path):
            got.append(record.id)
    # gzip itself may drop the few bytes its failing step unpacked, which
    # can cost the last record; a chunk's worth (thousands) must not go.
    assert got == [f"r{i}" for i in range(len(got))] and len(got) >= whole - 1


def test_records_from_a_pipe_come_as_they_arrive():
    # Reading must not wait for a whole chunk (or the end) of a pipe that is
    # still open: a producer may be waiting for the answer.
    read_end, write_end = os.pipe()
    with os.fdopen(read_end, "rb") as source, os.fdopen(write_end, "wb", buffering=0) as sink:
        sink.write(b">r1\nACGT\n>r2\nGG")
        reader = ab.read(source)
        first = []
        taker = threading.Thread(target=lambda: first.append(next(reader)))
        taker.start()
        taker.join(timeout=20)
        waited_for_more = taker.is_alive()
        sink.close()  # lets a reader that waits for the end go on
        taker.join()
        assert not waited_for_more
        assert [(r.id, r.sequence) for r in first] == [("r1", "ACGT")]
        assert [(r.id, r.sequence) for r in reader] == [("r2", "GG")]


def test_closed_standard_input_is_an_error():
    code = "import alphabet\ntry: alphabet.read('-')\nexcept OSError as e: print(e)"
    proc = subprocess.run([sys.executable, "-c", code], stdin=None, capture_output=True,
                          timeout=60, preexec_fn=lambda: os.close(0))  # fmt: skip
    assert proc.stdout == b"standard input is closed\n"


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("gzipped", [False, True])
def test_a_file_the_reader_opened_is_closed_however_reading_ends(tmp_path, gzipped):
    path = tmp_path / "reads.fa"
    data = b">a\nAC\n>b\nGT\n"
    path.write_bytes(gzip.compress(data) if gzipped else data)
    before = open_descriptors()
    assert len(list(ab.read(path))) == 2
    reader = ab.read(path)
    assert open_descriptors() == before + 1 and reader.format is None
    assert next(reader).id == "a" and reader.format == "fasta"
    reader.close()
    assert open_descriptors() == before and reader.closed and list(reader) == []
    with ab.read(path) as reader:
        next(reader)
    assert open_descriptors() == before
    next(ab.read(path))  # collected at once
    assert open_descriptors() == before


def test_a_file_object_passed_in_stays_open():
    stream = io.BytesIO(b">a\nAC\n")
    with ab.read(stream) as reader:
        assert list(reader) == [Record("a", "", "AC")]
        assert reader.bytes_read == 6
    assert not stream.closed


@pytest.mark.parametrize(
    "source, error, message",
    [
        (b">a\n", TypeError, "not bytes"),
        (io.StringIO(">a\n"), TypeError, "text mode"),
        (object(), TypeError, "not object"),
        ("/nonexistent/reads.fa", FileNotFoundError, "reads.fa"),
    ],
)
def test_sources_that_cannot_be_read(source, error, message):
    with pytest.raises(error, match=message):
        ab.read(source)


class Lying(io.RawIOBase):
    """Claims to have read more than the buffer holds, or nothing ready."""

    def __init__(self, answer):
        self._answer, self._first = answer, True

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._first:  # the two bytes the format is told from
            self._first = False
            buffer[:2] = b">a"
            return 2
        return self._answer(buffer)


@pytest.mark.parametrize(
    "answer, error, message",
    [
        (lambda buffer: len(buffer) + 1, ValueError, "returned 1048577 for a buffer of 1048576"),
        (lambda buffer: -2, ValueError, "returned -2"),
        (lambda buffer: None, BlockingIOError, "no data ready"),
        (lambda buffer: 1 / 0, ZeroDivisionError, "division"),
    ],
)
def test_a_misbehaving_source_raises_without_reading_outside_the_buffer(answer, error, message):
    reader = ab.read(Lying(answer))
    with pytest.raises(error, match=message):
        list(reader)


def test_a_source_that_reenters_its_reader_is_refused():
    class Reentrant(io.RawIOBase):
        reader = None

        def readable(self):
            return True

        def readinto(self, buffer):
            if self.reader is not None:
                next(self.reader)
            data = b">a\nAC\n"[: len(buffer)]
            buffer[: len(data)] = data
            return len(data)

    source = Reentrant()
    reader = source.reader = ab.read(source)
    with pytest.raises(ValueError, match="already executing"):
        next(reader)
    source.reader = None


class Alarm(Exception):
    pass


@pytest.mark.parametrize("raises", [True, False])
def test_an_interrupted_read_runs_the_signal_handler_and_can_go_on(tmp_path, raises):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    alarms = []

    def on_alarm(signum, frame):
        alarms.append(signum)
        if raises:
            raise Alarm

    writer = None

    def write_later():
        nonlocal writer
        writer = open(fifo, "wb", buffering=0)
        writer.write(b">a\n")

    thread = threading.Thread(target=write_later)
    thread.start()
    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        reader = ab.read(fifo)  # two bytes come, then the read blocks
        thread.join()
        if raises:
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            with pytest.raises(Alarm):
                next(reader)
        else:
            # The handler runs while the read blocks; the read then goes on
            # and sees what the writer writes after it.
            timer = threading.Timer(0.6, lambda: (writer.write(b"ACGT\n>b\n"), writer.close()))
            timer.start()
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            assert next(reader) == Record("a", "", "ACGT")
            timer.join()
        if raises:
            writer.write(b"ACGT\n>b\n")
            writer.close()
        assert alarms == [signal.SIGALRM]
        assert fields(reader) == ([("a", "", "ACGT", None)] if raises else []) + [
            ("b", "", "", None)
        ]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_threads_read_files_side_by_side(tmp_path):
    paths = []
    for n in range(4):
        path = tmp_path / f"{n}.fa"
        path.write_text("".join(f">r{n}_{i}\n{'ACGT' * (i % 50)}\n" for i in range(3000)))
        paths.append(path)
    results = {}

    def read_all(path):
        results[path] = [(r.id, len(r.sequence)) for r in _open(path, None, 4096)]

    threads = [threading.Thread(target=read_all, args=(path,)) for path in paths]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for n, path in enumerate(paths):
        assert results[path] == [(f"r{n}_{i}", 4 * (i % 50)) for i in range(3000)]


class TestWithAlphabet:
    def test_codes_are_what_encode_all_gives(self, tmp_path):
        dna = ab.dna()
        data = b">a\nGAT\nTACA\n>b\n\n>c\n" + b"ACGT" * 300_000 + b"\n"
        path = tmp_path / "reads.fa"
        path.write_bytes(data)
        plain = list(ab.read(path))
        coded = list(ab.read(path, alphabet=dna))
        assert [r.sequence for r in coded] == [dna.encode_all(r.sequence) for r in plain]
        assert [r.id for r in coded] == ["a", "b", "c"]
        assert type(coded[0].sequence) is bytes

    def test_an_unknown_symbol_names_record_line_and_position_then_reading_goes_on(self):
        reader = ab.read(io.BytesIO(b">ok\nAC\n>bad one\nACGT\nTTXA\n>next\nG\n"),
                         alphabet=ab.dna())  # fmt: skip
        assert next(reader).sequence == b"\x00\x01"
        with pytest.raises(ab.AlphabetError) as info:
            next(reader)
        assert info.value.position == 6
        assert str(info.value).startswith("record 'bad' (line 3): ")
        assert "not in alphabet at position 6" in str(info.value)
        assert [r.sequence for r in reader] == [b"\x02"]

    @pytest.mark.parametrize(
        "symbols, text",
        [
            ("A\u00e9C", "\u00e9CA\u00e9"),  # a symbol beyond ASCII: through encode_all
            ("ACGTA", "ACGTA"),  # a repeated symbol encodes to its last position
            ([chr(0x100 + i) for i in range(300)], "\u0100\u0101\u022b"),  # codes past 255
        ],
    )
    def test_other_alphabets_agree_with_encode_all(self, symbols, text):
        alphabet = ab.Alphabet(symbols)
        (record,) = ab.read(io.BytesIO(f">r\n{text}\n".encode()), alphabet=alphabet)
        assert record.sequence == alphabet.encode_all(text)

    def test_alphabets_of_longer_symbols_cut_records_as_encode_all(self):
        codons = ab.Alphabet(["AA", "C", "AAC"])
        (record,) = ab.read(io.BytesIO(b">r\nAACAA\nC\n"), alphabet=codons)
        assert record.sequence == codons.encode_all("AACAAC") == b"\x02\x02"
        with pytest.raises(TypeError, match="Alphabet"):
            ab.read(io.BytesIO(b">r\n"), alphabet="dna")


class TestRecord:
    def test_value_semantics(self):
        record = Record("r1", "a read", "ACGT", "IIII")
        same = pickle.loads(pickle.dumps(record))
        assert same == record and hash(same) == hash(record) and same is not record
        assert record != Record("r1", "a read", "ACGT", "IIIJ")
        assert record != ("r1", "a read", "ACGT", "IIII")
        assert Record("r", "", "A") == Record("r", "", "A", None)
        match record:
            case Record(rid, _, sequence, quality):
                assert (rid, sequence, quality) == ("r1", "ACGT", "IIII")
        with pytest.raises(AttributeError):
            record.id = "other"

    def test_repr_shows_short_fields_whole_and_long_ones_cut(self):
        assert repr(Record("r", "", "AC")) == (
            "Record(id='r', description='', sequence='AC', quality=None)"
        )
        text = repr(Record("r", "d", b"\x00" * 100, "I" * 41))
        assert "sequence=b'" + "\\x00" * 40 + "'...(100 long)" in text
        assert "quality='" + "I" * 40 + "'...(41 long)" in text

    @pytest.mark.parametrize(
        "args", [(1, "", "A"), ("r", None, "A"), ("r", "", "A", b"I"), ("r", "")]
    )
    def test_constructor_checks_its_fields(self, args):
        with pytest.raises(TypeError):
            Record(*args)

    def test_records_read_are_left_to_reference_counting(self):
        (record,) = ab.read(io.BytesIO(b"@r\nAC\n+\nII\n"))
        assert not gc.is_tracked(record)
        looped = Record("r", "", [])
        looped.sequence.append(looped)
        assert gc.is_tracked(looped)


@pytest.mark.parametrize("how", ["path", "gzip path", "file object", "trickle"])
def test_bytes_read_counts_every_byte_taken_from_the_source(tmp_path, how):
    data = b">a\nACGT\n" * 5000 + b">b\nGG\n"
    path = tmp_path / "in.fa"
    path.write_bytes(gzip.compress(data) if how == "gzip path" else data)
    source = {"file object": io.BytesIO(data), "trickle": Trickle(data, 1000)}.get(how, path)
    with ab.read(source) as reader:
        next(reader)
        assert 0 < reader.bytes_read <= len(data)
        records = 1 + len(list(reader))
        assert records == 5001 and reader.bytes_read == len(data)
