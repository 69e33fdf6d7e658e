"""alphabet.write and alphabet.Writer: what read() gives back, what other
readers and samtools make of the output, and every way writing refuses."""

import array
import gzip
import io
import os
import shutil

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import alphabet as ab
from alphabet import _compression
from helpers import run_tool


def fields(records):
    return [(r.id, r.description, r.sequence, r.quality) for r in records]


def written(records, **options):
    out = io.BytesIO()
    ab.write(out, records, **options)
    return out.getvalue()


def round_trip(records, **options):
    alphabet = options.get("alphabet")
    return fields(ab.read(io.BytesIO(written(records, **options)), alphabet=alphabet))


WIDTHS = [1, 59, 60, 61, 0]

# Records read() accepts that a careless writer would change: an empty
# sequence, tabs in a description, a quality starting with '@', characters
# that start headers or '+' lines, blanks and '\r' where line breaks may
# fall, text beyond ASCII.
AWKWARD_FASTQ = [
    ab.Record("empty", "", "", ""),
    ab.Record("tabs", "a\tdescription\twith tabs", "ACGT", "@III"),
    ab.Record("plus", "", "A+CG@T>", "+@>II!#"),
    ab.Record("cr", "ends in\r", "ACG\r", "II#\r"),
    ab.Record("é", "日本", "ACGTé" * 30, "I" * 150),
    ab.Record("", "no id", "N", "!"),
]
AWKWARD_FASTA = [
    ab.Record("empty", "", "", None),
    ab.Record("tabs", "x\ty", "AC" * 40, None),
    ab.Record("gt", "", "A" * 59 + ">" + "C" * 61 + ">G", None),
    ab.Record("blanks", "", "A" + " " * 130 + "C", None),
    ab.Record("cr", "", ("ACG\r" * 40), None),
    ab.Record("wide", "", "éÅ日" * 50, None),
]


@pytest.mark.parametrize("width", WIDTHS)
@pytest.mark.parametrize("records", [AWKWARD_FASTQ, AWKWARD_FASTA], ids=["fastq", "fasta"])
def test_awkward_records_come_back(records, width):
    assert round_trip(records, line_width=width) == fields(records)


@pytest.mark.parametrize("width", WIDTHS)
def test_fasta_lines_are_line_width_long(width):
    sequence = "ACGT" * 50
    lines = written([("r", sequence)], line_width=width).decode().split("\n")
    assert lines[0] == ">r" and lines[-1] == ""
    expected = [sequence] if width == 0 else [sequence[i : i + width] for i in range(0, 200, width)]
    assert lines[1:-1] == expected


def test_crlf_input_comes_back_without_its_carriage_returns():
    source = b"@r1 d\r\nACGT\r\n+\r\nII@I\r\n@r2\r\n\r\n+\r\n\r\n"
    records = list(ab.read(io.BytesIO(source)))
    assert written(records) == b"@r1 d\nACGT\n+\nII@I\n@r2\n\n+\n\n"


# Text made of the pieces that make FASTA and FASTQ hard to write back.
PIECES = [">", "@", "+", " ", "\t", "\r", "\n", "\r\n", "A", "CG", "é", "I", "x y"]


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.sampled_from(PIECES), max_size=60),
    st.sampled_from([">", "@"]),
    st.sampled_from(WIDTHS),
)
def test_every_record_read_accepts_comes_back(pieces, mark, width):
    source = (mark + "".join(pieces)).encode()
    records = []
    try:
        records.extend(ab.read(io.BytesIO(source)))
    except ab.FormatError:
        pass  # the records before the fault count
    assert round_trip(records, line_width=width) == fields(records)


def wide_alphabet():
    return ab.Alphabet([chr(0x100 + i) for i in range(300)])


@pytest.mark.parametrize("width", [1, 60, 0])
def test_codes_of_an_alphabet_wider_than_256_symbols(width):
    wide = wide_alphabet()
    codes = array.array("H", [299, 0, 256, 7, 255] * 13)
    text = "".join(wide.symbols[c] for c in codes)
    records = [("w", codes, "I" * len(codes)), ("v", codes[:0], "")]
    out = written(records, alphabet=wide, line_width=width)
    assert fields(ab.read(io.BytesIO(out))) == [("w", "", text, "I" * 65), ("v", "", "", "")]
    assert [bytes(r.sequence) for r in ab.read(io.BytesIO(out), alphabet=wide)] == [
        codes.tobytes(),
        b"",
    ]


@pytest.mark.parametrize(
    "codes", [b"\x02\x00\x03", bytearray(b"\x02\x00\x03"), array.array("q", [2, 0, 3]), [2, 0, 3]]
)
def test_codes_of_every_kind_are_written_as_their_text(codes):
    assert written([("r", codes)], alphabet=ab.dna()) == b">r\nGAT\n"


def test_records_of_every_shape():
    class Read:
        def __init__(self, id, sequence, **more):
            self.id, self.sequence = id, sequence
            self.__dict__.update(more)

    records = [
        ab.Record("a", "one", "AC", None),
        ("b", "GT"),
        Read("c", "TT", description="three"),
        Read("d", "A", description=None),
    ]
    assert written(records) == b">a one\nAC\n>b\nGT\n>c three\nTT\n>d\nA\n"
    fastq = [("q", "AC", "II"), Read("r", "G", quality="#", description="x")]
    assert written(fastq) == b"@q\nAC\n+\nII\n@r x\nG\n+\n#\n"


@pytest.mark.parametrize(
    "name, fastq",
    [
        ("x.fa", False),
        ("x.FASTA", False),
        ("x.fna.gz", False),
        ("x.fq", True),
        ("x.fastq.gz", True),
    ],
)
def test_the_suffix_tells_the_format_and_gzip(tmp_path, name, fastq):
    path = tmp_path / name
    # A quality, which FASTA drops: the suffix wins over the first record.
    assert ab.write(path, [("r", "ACGT", "IIII")]) == 1
    data = path.read_bytes()
    if name.lower().endswith(".gz"):
        data = gzip.decompress(data)
    assert data == (b"@r\nACGT\n+\nIIII\n" if fastq else b">r\nACGT\n")


def test_without_a_suffix_the_first_record_tells(tmp_path):
    assert ab.write(tmp_path / "reads", [("r", "A", "I")]) == 1
    assert (tmp_path / "reads").read_bytes() == b"@r\nA\n+\nI\n"
    assert ab.write(tmp_path / "seqs.txt", [("r", "A")]) == 1
    assert (tmp_path / "seqs.txt").read_bytes() == b">r\nA\n"
    with ab.Writer(io.BytesIO()) as writer:
        assert writer.format is None
        writer.write(("r", "A", "I"))
        assert writer.format == "fastq"


def reads(count):
    made = []
    for i in range(count):
        sequence = ("ACGTTGCAN" * 20)[i % 9 : i % 9 + 150 - i % 5]
        made.append((f"read{i} n={i}", sequence, "I#5@"[i % 4] * len(sequence)))
    return made


@pytest.mark.parametrize("threads", [0, 2])
@pytest.mark.parametrize("level", [None, 0, 1, 6])
def test_gzip_output_holds_the_plain_output(tmp_path, level, threads):
    records = reads(3000)
    plain = written(records)
    path = tmp_path / ("out.fq.gz" if level is None else "out.fq")
    ab.write(path, records, compresslevel=level, threads=threads)
    assert gzip.decompress(path.read_bytes()) == plain


def test_without_python_isal_gzip_comes_from_python(tmp_path, monkeypatch):
    records = reads(500)
    monkeypatch.setattr(_compression, "_isal", lambda name: None)
    assert _compression.compressor_name(1, 2) == "Python's gzip"
    stream = io.BytesIO()
    ab.write(stream, records, compresslevel=1)
    assert gzip.decompress(stream.getvalue()) == written(records)


def test_a_file_object_is_flushed_and_left_open():
    class Kept(io.BytesIO):
        flushed = 0

        def flush(self):
            self.flushed += 1

    out = Kept()
    ab.write(out, [("r", "A")], compresslevel=1)
    assert not out.closed and out.flushed >= 1
    assert gzip.decompress(out.getvalue()) == b">r\nA\n"


def test_an_unbuffered_stream_that_takes_a_little_at_a_time():
    class Sip(io.RawIOBase):
        def __init__(self):
            self.data = bytearray()

        def writable(self):
            return True

        def write(self, data):
            self.data += bytes(data[:3])
            return min(3, len(data))

    out = Sip()
    ab.write(out, reads(50))
    assert bytes(out.data) == written(reads(50))


def test_standard_output(monkeypatch):
    stdout = io.TextIOWrapper(io.BytesIO())
    monkeypatch.setattr("sys.stdout", stdout)
    assert ab.write("-", [("r", "A")]) == 1
    assert stdout.buffer.getvalue() == b">r\nA\n"


def test_many_records_cross_chunks_in_order(tmp_path):
    # More than a megabyte: several chunks through write(2), and a FASTA
    # record longer than a chunk.
    records = reads(8000)
    path = tmp_path / "out.fq"
    assert ab.write(path, records) == 8000
    assert fields(ab.read(path)) == [(i.split()[0], i.split()[1], s, q) for i, s, q in records]
    genome = "ACGTN" * 500_000
    assert round_trip([("chr", genome)], line_width=61) == [("chr", "", genome, None)]


# ---- pairs


def test_pairs_to_two_files_and_interleaved(tmp_path):
    pairs = [(("a/1", "AC", "II"), ("a/2", "GT", "##")), (("b/1", "", ""), ("b/2", "T", "I"))]
    one, two = tmp_path / "r1.fq", tmp_path / "r2.fq"
    assert ab.write((one, two), pairs) == 2
    assert one.read_bytes() == b"@a/1\nAC\n+\nII\n@b/1\n\n+\n\n"
    assert two.read_bytes() == b"@a/2\nGT\n+\n##\n@b/2\nT\n+\nI\n"
    both = io.BytesIO()
    assert ab.write(both, pairs, interleaved=True) == 2
    assert both.getvalue() == b"@a/1\nAC\n+\nII\n@a/2\nGT\n+\n##\n@b/1\n\n+\n\n@b/2\nT\n+\nI\n"


@pytest.mark.parametrize("interleaved", [False, True])
def test_a_bad_mate_writes_neither_record_of_its_pair(tmp_path, interleaved):
    pairs = [(("a", "A", "I"), ("a", "C", "I")), (("b", "G", "I"), ("b", "T", "II"))]
    outs = [io.BytesIO(), io.BytesIO()]
    with pytest.raises(ValueError, match=r"record 2 \('b'\)|record 4 \('b'\)"):
        ab.write(outs[0] if interleaved else tuple(outs), pairs, interleaved=interleaved)
    if interleaved:
        assert outs[0].getvalue() == b"@a\nA\n+\nI\n@a\nC\n+\nI\n"
    else:
        assert [o.getvalue() for o in outs] == [b"@a\nA\n+\nI\n", b"@a\nC\n+\nI\n"]


@pytest.mark.parametrize("pair", [(("a", "A"),) * 3, [("a", "A")], 5])
def test_a_pair_is_two_records(pair):
    with pytest.raises(TypeError, match="pair 1"):
        ab.write(io.BytesIO(), [pair], interleaved=True)


# ---- what writing refuses


@pytest.mark.parametrize(
    "record, error, message",
    [
        (
            ("q", "ACG", "II"),
            ValueError,
            r"record 2 \('q'\): its quality has 2 characters, its sequence 3",
        ),
        (("q", "ACG"), ValueError, r"record 2 \('q'\): FASTQ needs a quality"),
        (("q\nx", "A", "I"), ValueError, "its id holds a line break"),
        (ab.Record("q", "a\nb", "A", "I"), ValueError, "its description holds a line break"),
        (("q", "A\nC", "II"), ValueError, "its sequence holds a line break"),
        (("q", "AC", "I\n"), ValueError, "its quality holds a line break"),
        (("q", "@A", "II"), ValueError, "cannot start with '@'"),
        (("q", "+A", "II"), ValueError, "cannot start with '\\+'"),
        (("q", " \t", "II"), ValueError, "its sequence holds only blanks"),
        (("q", "AC", "  "), ValueError, "its quality holds only blanks"),
        ((5, "A", "I"), TypeError, "record 2: its id must be a str, not int"),
        (("q", b"\x00", "I"), TypeError, r"record 2 \('q'\): its sequence is bytes.*alphabet="),
        (("q", "A", b"I"), TypeError, "its quality must be a str or None, not bytes"),
        (("q", "A", "I", "x"), TypeError, "not 4 items"),
        (3.5, TypeError, "an object with id and sequence attributes, not float"),
        (("q", "\ud800", "I"), ValueError, r"record 2 \('q'\): .*surrogate"),
    ],
)
def test_a_record_that_cannot_be_written_is_refused_whole(record, error, message):
    out = io.BytesIO()
    with ab.Writer(out) as writer:
        writer.write(("ok", "A", "I"))
        with pytest.raises(error, match=message):
            writer.write(record)
        writer.write(("after", "C", "#"))
        assert writer.count == 2
    assert out.getvalue() == b"@ok\nA\n+\nI\n@after\nC\n+\n#\n"


@pytest.mark.parametrize(
    "record, message", [(("f", ">AC"), "starts with '>'"), (("f", "\r\r"), "only blanks")]
)
def test_fasta_refuses_a_sequence_that_reads_as_something_else(record, message):
    with pytest.raises(ValueError, match=message):
        written([record])


def test_a_code_the_alphabet_does_not_hold_names_record_and_position():
    with pytest.raises(
        ab.AlphabetError, match=r"record 1 \('r'\): Code 9 not in alphabet at position 2"
    ) as caught:
        written([("r", b"\x00\x01\x09")], alphabet=ab.dna())  # fmt: skip
    assert caught.value.position == 2


@pytest.mark.parametrize(
    "options, error",
    [
        ({"format": "fastx"}, ValueError),
        ({"line_width": -1}, ValueError),
        ({"line_width": True}, TypeError),
        ({"line_width": 1.5}, TypeError),
        ({"compresslevel": 10}, ValueError),
        ({"threads": -1}, ValueError),
        ({"alphabet": "ACGT"}, TypeError),
        ({"alphabet": ab.Alphabet(["AA", "C"])}, TypeError),
    ],
)
def test_options_are_checked_before_anything_is_opened(tmp_path, options, error):
    path = tmp_path / "out.fa"
    with pytest.raises(error):
        ab.write(path, [("r", "A")], **options)
    assert not path.exists()


@pytest.mark.parametrize("target", [b"out.fa", bytearray(), 5, io.StringIO()])
def test_a_target_that_is_no_binary_file(target):
    with pytest.raises(TypeError):
        ab.write(target, [("r", "A")])


def test_records_before_a_failing_iterable_are_written(tmp_path):
    def records():
        yield ("a", "AC")
        raise KeyError("source")

    path = tmp_path / "out.fa"
    with pytest.raises(KeyError):
        ab.write(path, records())
    assert path.read_bytes() == b">a\nAC\n"


def test_an_output_that_fails_ends_the_writer():
    class Full(io.RawIOBase):
        def writable(self):
            return True

        def write(self, data):
            raise OSError(28, "No space left on device")

    writer = ab.Writer(Full())
    writer.write(("r", "A"))
    with pytest.raises(OSError, match="No space"):
        writer.flush()
    with pytest.raises(ValueError, match="closed writer"):
        writer.write(("r", "A"))
    writer.close()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
def test_a_full_disk_is_an_oserror():
    with pytest.raises(OSError, match="No space"):
        ab.write("/dev/full", [("r", "A" * 100)])


def test_a_sink_that_writes_back_into_its_writer_is_refused():
    box = []

    class Reentering(io.BytesIO):
        def write(self, data):
            box[0].write(("x", "A"))

    writer = ab.Writer(Reentering())
    box.append(writer)
    writer.write(("r", "A"))
    with pytest.raises(ValueError, match="already executing"):
        writer.close()


# ---- other readers


def test_dnaio_reads_the_output_back(tmp_path):
    dnaio = pytest.importorskip("dnaio")
    fastq = AWKWARD_FASTQ[1:3] + [ab.Record(r[0].split()[0], "", r[1], r[2]) for r in reads(200)]
    # dnaio reads ASCII only, and takes any line end for "\r\n".
    fasta = [r for r in AWKWARD_FASTA if r.sequence.isascii() and "\r" not in r.sequence]
    for name, records in (("out.fq.gz", fastq), ("out.fa", fasta)):
        path = tmp_path / name
        ab.write(path, records, line_width=61)
        with dnaio.open(path) as reader:
            got = [(r.name, r.sequence, r.qualities) for r in reader]
        assert got == [
            ((r.id + " " + r.description) if r.description else r.id, r.sequence, r.quality)
            for r in records
        ]


@pytest.mark.skipif(shutil.which("samtools") is None, reason="samtools is not installed")
@pytest.mark.parametrize("width", [1, 59, 60, 61, 0])
def test_samtools_faidx_accepts_the_fasta_and_finds_every_region(tmp_path, width):
    records = [("chr1", "ACGTN" * 41), ("chr2", "GATTACA"), ("chr3", "T" * 120)]
    path = tmp_path / "genome.fa"
    ab.write(path, records, line_width=width)
    run = run_tool("samtools", "faidx", path, text=True)
    assert run.returncode == 0, run.stderr
    lengths = [
        line.split("\t")[:2] for line in (tmp_path / "genome.fa.fai").read_text().splitlines()
    ]
    assert lengths == [[name, str(len(sequence))] for name, sequence in records]
    regions = ["chr1:3-200", "chr2:1-7", "chr3:60-61"]
    run = run_tool("samtools", "faidx", path, *regions, text=True)
    assert run.returncode == 0, run.stderr
    found = ["".join(part.splitlines()[1:]) for part in run.stdout.split(">")[1:]]
    assert found == [records[0][1][2:200], records[1][1], records[2][1][59:61]]
