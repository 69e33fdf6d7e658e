"""No call of the package leaves anything behind: each runs a thousand times
and the interpreter's allocated blocks and the registry's live entries come
back to where they were.  A reference or an entry leaked per call shows as a
thousand; the bound below is a tenth of that, room for caches only.

Every public call has a row here, with its error paths: a new call gets a
row when it is added."""

import array
import gzip
import io
import os
import pickle
import sys

import pytest

import alphabet as ab
from helpers import Trickle, bgzf, leaks

RUNS = 1000
BOUND = RUNS // 10

if sys.getallocatedblocks() == 0:
    pytest.skip("the interpreter's allocator counts no blocks here", allow_module_level=True)

DNA = ab.dna()
IUPAC = ab.iupac_dna()
LENIENT = IUPAC.with_options(ignore_case=True, aliases={"U": "T"}, unknown="N")
CODONS = ab.Alphabet(["AAA", "AAC", "GAT"])
TOKENS = ab.Alphabet("ACDEFGHIKLMNPQRSTVWY").extend(["<pad>", "<cls>", "<eos>"])
EXTENDED = ab.extended_protein()
# A batch of records as one flat buffer of codes, cut by offsets.
FLAT = type("Flat", (), {"sequences": b"\x02\x00\x03", "offsets": array.array("q", [0, 1, 3]),
                         "alphabet": DNA})()  # fmt: skip
WIDE = ab.Alphabet("".join(chr(c) for c in range(0x21, 0x21 + 300) if chr(c) not in ">;"))
FASTA = b">r1 one\nGATTACA\nGA\n>r2\n\n>r3 three\nACGT\n"
FASTQ = b"@q1 d\nGATTACA\n+\nIIIIIII\n@q2\nAC\n+q2\n#I\n"
BAD_SYMBOL = b">ok\nACGT\n>bad\nACXT\n>ok2\nA\n"
NOT_FASTA = b"GATTACA\n"
CUT_FASTQ = b"@q1\nGATTACA\n+\nIII\n"
GENOME = b">chr1 first\nACGTACGTAC\nGGGGNN\n>chr2\nTTTTCCCCAA\nTT\n"
# Records beyond ASCII are coded through their text.
WIDE_FASTA = ">w1\nĀāĂ!#\n>w2\nAC\n>w3\néé\n".encode()


def read_all(source, **options):
    with ab.read(source, **options) as reader:
        return list(reader)


def read_skipping_errors(source, **options):
    reader = ab.read(source, **options)
    records = []
    while True:
        try:
            records.append(next(reader))
        except StopIteration:
            return records
        except ab.AlphabetError:
            continue


def files(tmp):
    paths = {}
    for name, data in [("in.fa", FASTA), ("in.fq", FASTQ), ("bad.fa", BAD_SYMBOL),
                       ("not.fa", NOT_FASTA), ("cut.fq", CUT_FASTQ), ("wide.fa", WIDE_FASTA)]:  # fmt: skip
        paths[name] = tmp / name
        paths[name].write_bytes(data)
        paths[name + ".gz"] = tmp / (name + ".gz")
        paths[name + ".gz"].write_bytes(gzip.compress(data))
    paths["cut.fa.gz"] = tmp / "cut.fa.gz"
    paths["cut.fa.gz"].write_bytes(gzip.compress(FASTA)[:-12])
    # Genomes opened by their index: plain, BGZF, and FASTQ by id.
    paths["genome.fa"] = tmp / "genome.fa"
    paths["genome.fa"].write_bytes(GENOME)
    paths["genome.fa.gz"] = tmp / "genome.fa.gz"
    paths["genome.fa.gz"].write_bytes(bgzf(GENOME, block=50))
    paths["reads.fq"] = tmp / "reads.fq"
    paths["reads.fq"].write_bytes(FASTQ)
    return paths


ALPHABET_CALLS = {
    "Alphabet(str)": lambda: ab.Alphabet("ACGT"),
    "Alphabet(list) with options": lambda: ab.Alphabet(
        ["A", "C", "G", "T"], ignore_case=True, aliases={"U": "T"}, unknown="A", complements="TGCA"
    ),
    "Alphabet with an item not a str": (lambda: ab.Alphabet(["A", 5]), TypeError),
    "Alphabet with a NUL": (lambda: ab.Alphabet("A\0"), ab.AlphabetError),
    "Alphabet with a bad alias": (lambda: ab.Alphabet("AC", aliases={"U": "X"}), ValueError),
    "encode": lambda: DNA.encode("G"),
    "encode unknown": (lambda: DNA.encode("X"), ab.AlphabetError),
    "encode with options": lambda: LENIENT.encode("u"),
    "decode": lambda: DNA.decode(2),
    "decode out of range": (lambda: DNA.decode(9), ab.AlphabetError),
    "extend": lambda: DNA.extend("N"),
    "extend refused": (lambda: DNA.extend([b"N"]), TypeError),
    "with_options": lambda: DNA.with_options(ignore_case=True),
    "from_handle": lambda: ab.Alphabet.from_handle(DNA.handle),
    "from_handle of nothing": (lambda: ab.Alphabet.from_handle(0), ValueError),
    "symbols, len, iter, in": lambda: (DNA.symbols, len(DNA), list(DNA), "G" in DNA, 5 in DNA),
    "repr, hash, ==": lambda: (repr(LENIENT), hash(LENIENT), LENIENT == IUPAC),
    "pickle": lambda: pickle.loads(pickle.dumps(LENIENT)),
    "encode_all str": lambda: DNA.encode_all("GATTACA" * 20),
    "encode_all wide str": lambda: WIDE.encode_all("ĀāĂ!#" * 20),
    "encode_all with options": lambda: LENIENT.encode_all("gaUu?ryné"),
    "encode_all bytes": lambda: DNA.encode_all(b"GATTACA"),
    "encode_all bytearray": lambda: DNA.encode_all(bytearray(b"GATTACA")),
    "encode_all memoryview": lambda: DNA.encode_all(memoryview(b"GATTACA")),
    "encode_all list": lambda: DNA.encode_all(list("GATTACA")),
    "encode_all codons": lambda: CODONS.encode_all(["AAC", "GAT"]),
    "encode_all unknown": (lambda: DNA.encode_all("GATXACA"), ab.AlphabetError),
    "encode_all unknown in a list": (lambda: DNA.encode_all(["G", "X"]), ab.AlphabetError),
    "encode_all not a str": (lambda: DNA.encode_all(["G", 5]), TypeError),
    "encode_all codons as text": lambda: CODONS.encode_all("AACGATAAA"),
    "encode_all codons as text, unknown": (lambda: CODONS.encode_all("AACGT"), ab.AlphabetError),
    "encode_all tokens": lambda: TOKENS.encode_all("<cls>MKW<eos>" * 10),
    "decode_all": lambda: DNA.decode_all([0, 1, 2, 3]),
    "decode_all bytes": lambda: CODONS.decode_all(b"\x00\x02"),
    "decode_all bad code": (lambda: DNA.decode_all([0, 7]), ab.AlphabetError),
    "decode_all huge code": (lambda: DNA.decode_all([0, 10**30]), ab.AlphabetError),
    "decode_str bytes": lambda: DNA.decode_str(b"\x02\x00\x03" * 30),
    "decode_str array": lambda: WIDE.decode_str(array.array("H", [0, 200, 297])),
    "decode_str list": lambda: DNA.decode_str([2, 0, 3]),
    "decode_str bad code": (lambda: DNA.decode_str(b"\x02\x09"), ab.AlphabetError),
    "decode_str of codons": lambda: CODONS.decode_str(b"\x00\x02"),
    "reverse_complement str": lambda: IUPAC.reverse_complement("ACGRN-"),
    "reverse_complement bytes": lambda: DNA.reverse_complement(b"\x02\x00\x03"),
    "reverse_complement bytearray": lambda: DNA.reverse_complement(bytearray(b"\x02\x00")),
    "reverse_complement array": lambda: DNA.reverse_complement(array.array("H", [2, 0])),
    "reverse_complement memoryview": lambda: DNA.reverse_complement(memoryview(b"\x02\x00")),
    "reverse_complement list": lambda: DNA.reverse_complement([2, 0, 3]),
    "reverse_complement bad code": (lambda: DNA.reverse_complement(b"\x07"), ab.AlphabetError),
    "reverse_complement without complements": (
        lambda: CODONS.reverse_complement(b"\x00"),
        TypeError,
    ),
    "kmers str": lambda: DNA.kmers("GATTACA", 3),
    "kmers bytes": lambda: DNA.kmers(b"\x02\x00\x03\x03", 2),
    "kmers bad k": (lambda: DNA.kmers(b"\x02", 0), ValueError),
    "kmers bad code": (lambda: DNA.kmers([0, 9], 1), ab.AlphabetError),
    "kmers canonical": lambda: DNA.kmers("GATTACA", 3, canonical=True),
    "kmers skipping": lambda: IUPAC.kmers("ACGTNACG", 3, canonical=True, skip_ambiguous=True),
    "kmers without complements": (lambda: CODONS.kmers([0], 1, canonical=True), TypeError),
    "kmer_positions": lambda: IUPAC.kmer_positions(b"\x00\x0e\x01\x02", 2, skip_ambiguous=True),
    "minimizers": lambda: DNA.minimizers("GATTACAGATTACA", 5, 3),
    "minimizers bad w": (lambda: DNA.minimizers("GATTACA", 3, 0), ValueError),
    "reverse_complement soft-masked": lambda: LENIENT.reverse_complement("ACgtnn"),
    "encode_batch texts": lambda: TOKENS.encode_batch(["MKW", "M"], pad="<pad>", prefix="<cls>"),
    "encode_batch codes and records": lambda: DNA.encode_batch(
        [b"\x00\x01", [2, 3], ab.Record("r", "", "GAT")], pad="A", dtype="int64"
    ),
    "encode_batch a flat batch": lambda: DNA.encode_batch(FLAT, pad="A"),
    "encode_batch too long": (lambda: DNA.encode_batch(["GATT"], pad="A", length=2), ValueError),
    "encode_batch unknown": (lambda: DNA.encode_batch(["GA", "GX"], pad="A"), ab.AlphabetError),
    "encode_batch bad pad": (lambda: DNA.encode_batch(["GA"], pad="N"), ab.AlphabetError),
    "decode_batch": lambda: DNA.decode_batch(*DNA.encode_batch(["GAT", ""], pad="A")),
    "decode_batch bad lengths": (
        lambda: DNA.decode_batch(DNA.encode_batch(["GAT"], pad="A")[0], [9]),
        ValueError,
    ),
    "one_hot": lambda: (IUPAC.one_hot("ACGTN").tolist(), DNA.one_hot(b"\x00\x03", dtype="float32")),
    "one_hot spread": lambda: IUPAC.one_hot("NRY", dtype="float64", ambiguous="spread"),
    "one_hot bad code": (lambda: DNA.one_hot(b"\x09"), ab.AlphabetError),
    "one_hot_batch": lambda: memoryview(DNA.one_hot_batch(["GAT", "A"])).tolist(),
    "translate": lambda: ab.genetic_code(11).translate("ATGRATTAAGGG", to_stop=True),
    "translate to codes": lambda: ab.genetic_code(2).translate(b"\x00\x03\x02", alphabet=EXTENDED),
    "six_frames": lambda: ab.genetic_code().six_frames("ATGAAACCCNNN"),
    "translate a bad symbol": (lambda: ab.genetic_code().translate("ATX"), ab.AlphabetError),
    "genetic_code unknown": (lambda: ab.genetic_code(7), ValueError),
}


def sequence_calls():
    ints = ab.sequence("int8", range(10))
    texts = ab.sequence("string", ["a", "bc", "d"])
    raw = ab.sequence("byte", b"GATTACA")
    return {
        "sequence from a list": lambda: ab.sequence("int", [1, 2, 3]),
        "sequence from a buffer": lambda: ab.sequence("float64", array.array("d", [1.0, 2.0])),
        "sequence from bytes": lambda: ab.sequence("uint8", b"\x01\x02"),
        "sequence from a sequence": lambda: ab.sequence("int32", ints),
        "sequence of texts": lambda: ab.sequence("string", ["a", "b"]),
        "sequence of bools": lambda: ab.sequence("bool", [0, 1, None]),
        "sequence out of range": (lambda: ab.sequence("int8", [1, 300]), OverflowError),
        "sequence of a bad kind": (lambda: ab.sequence("nope", []), ValueError),
        "sequence of a NUL text": (lambda: ab.sequence("string", ["a\0"]), ValueError),
        "len, [i], [-1]": lambda: (len(ints), ints[3], ints[-1], texts[1]),
        "[i] out of range": (lambda: ints[100], IndexError),
        "[i] = v": lambda: ints.__setitem__(2, 5),
        "[i] = a bad value": (lambda: ints.__setitem__(2, "x"), TypeError),
        "view": lambda: ints[2:5],
        "view with a step": (lambda: ints[::2], ValueError),
        "del": (lambda: ints.__delitem__(0), TypeError),
        "iter, in, index, count": lambda: (list(texts), 3 in ints, ints.index(3), ints.count(3)),
        "index absent": (lambda: ints.index(99), ValueError),
        "repr, ==, pickle": lambda: (
            repr(texts),
            raw == b"GATTACA",
            pickle.loads(pickle.dumps(ints)),
        ),
        "buffer": lambda: bytes(memoryview(ints)),
        "buffer of texts": (lambda: memoryview(texts), TypeError),
        "append and extend a fresh one": lambda: _grown(),
        "extend refused halfway": (lambda: ab.sequence("int8", [1]).extend([1, "x"]), TypeError),
    }


def _grown():
    grown = ab.sequence("int16", [1])
    grown.append(2)
    grown.extend([3, 4])
    grown.extend(array.array("h", [5]))
    grown.extend(grown)
    return grown


def reader_calls(paths):
    stdin_data = FASTA

    def from_stdin():
        saved = sys.stdin
        sys.stdin = io.BytesIO(stdin_data)
        try:
            return read_all("-")
        finally:
            sys.stdin = saved

    return {
        "read a path": lambda: read_all(paths["in.fa"]),
        "read FASTQ": lambda: read_all(paths["in.fq"]),
        "read with an alphabet": lambda: read_all(paths["in.fa"], alphabet=DNA),
        "read with a wide alphabet": lambda: read_all(paths["in.fq"], alphabet=WIDE),
        "read text beyond ASCII": lambda: read_all(paths["wide.fa"], alphabet=WIDE),
        "read text beyond ASCII that does not encode": lambda: read_skipping_errors(
            paths["wide.fa"], alphabet=DNA
        ),
        "read gzip": lambda: read_all(paths["in.fq.gz"], alphabet=DNA),
        "read a file object": lambda: read_all(io.BytesIO(FASTA)),
        "read a trickle": lambda: read_all(Trickle(FASTQ, 3), alphabet=LENIENT),
        "read gzip from a file object": lambda: read_all(io.BytesIO(gzip.compress(FASTA))),
        "read standard input": from_stdin,
        "read a record that does not encode": lambda: read_skipping_errors(
            paths["bad.fa"], alphabet=DNA
        ),
        "read what is not FASTA": (lambda: read_all(paths["not.fa"]), ab.FormatError),
        "read a cut FASTQ": (lambda: read_all(paths["cut.fq.gz"]), ab.FormatError),
        "read a cut gzip": (lambda: read_all(paths["cut.fa.gz"]), (EOFError, ab.FormatError)),
        "read a missing file": (lambda: read_all(paths["in.fa"].parent / "none"), OSError),
        "read bytes": (lambda: read_all(b">r\nA\n"), TypeError),
        "read text mode": (lambda: read_all(io.StringIO(">r\nA\n")), TypeError),
        "read with codons": (lambda: read_all(paths["in.fa"], alphabet=CODONS), ab.AlphabetError),
        "read with tokens": lambda: read_all(paths["in.fa"], alphabet=TOKENS),
        "a reader dropped early": lambda: next(ab.read(paths["in.fa.gz"])),
        "records": lambda: (
            repr(ab.Record("a", "b", "GAT", "III")),
            ab.Record("a", "", "G") == ab.Record("a", "", "G"),
            hash(ab.Record("a", "", "G")),
            pickle.loads(pickle.dumps(ab.Record("a", "", b"\x00", None))),
        ),
    }


def genome_calls(paths):
    def each(path):
        with ab.Fasta(path) as genome:
            region = genome["chr1"]
            return (
                genome.fetch("chr1", 2, 14),
                genome.fetch("chr1:3-14"),
                genome.fetch("chr2", alphabet=IUPAC),
                genome.fetch("chr1", 1, 9, reverse_complement=True),
                genome.fetch("chr2", 1, 9, alphabet=IUPAC, reverse_complement=True),
                region[2:9], region[::-2], region[-1], len(region), str(region),
                dict(genome.lengths), list(genome), "chr2" in genome, repr(genome),
            )  # fmt: skip

    def refused(call, expected):
        def run():
            with ab.Fasta(paths["genome.fa"]) as genome:
                call(genome)

        return run, expected

    return {
        "a plain genome": lambda: each(paths["genome.fa"]),
        "a BGZF genome": lambda: each(paths["genome.fa.gz"]),
        "a genome pickled": lambda: pickle.loads(
            pickle.dumps(ab.Fasta(paths["genome.fa"]))
        ).close(),
        "FASTQ by id": lambda: ab.Fastq(paths["reads.fq"])["q2"],
        "an unknown name": refused(lambda genome: genome.fetch("chr9"), KeyError),
        "a region that ends before it starts": refused(
            lambda genome: genome.fetch("chr1:5-3"), ValueError
        ),
        "a position past a region's end": refused(lambda genome: genome["chr1"][99], IndexError),
        "codes that the alphabet refuses": refused(
            lambda genome: genome.fetch("chr1", alphabet=DNA), ab.AlphabetError
        ),
        "a plain gzip genome": (lambda: ab.Fasta(paths["in.fa.gz"]), ValueError),
        "a missing genome": (lambda: ab.Fasta(paths["in.fa"].parent / "none.fa"), OSError),
    }


class Read:
    def __init__(self, id, sequence, quality=None):
        self.id, self.sequence, self.quality, self.description = id, sequence, quality, "x"


def writer_calls():
    records = [ab.Record("q1", "d", "GATTACA", "IIIIIII"), ("q2", "AC", "#I")]
    pairs = [(("a/1", "A", "I"), ("a/2", "C", "#"))]

    def one_at_a_time():
        with ab.Writer(io.BytesIO(), line_width=3) as writer:
            writer.write(("r", "GATTACA"))
            writer.write(Read("s", "AC"))
            return writer.count, writer.format

    def closed_writer():
        writer = ab.Writer(io.BytesIO())
        writer.close()
        writer.write(("r", "A"))

    def full():
        with open("/dev/full", "wb") as out:
            ab.write(out, [("r", "A" * 100)])

    return {
        "write FASTQ to a file object": lambda: ab.write(io.BytesIO(), records),
        # A path written with write(2); the null device spares the disk.
        "write FASTA to a path": lambda: ab.write(os.devnull, [("r", "ACGT" * 40)], line_width=7),
        "write gzip with python-isal or gzip": lambda: ab.write(io.BytesIO(), records, compresslevel=1, threads=0),
        "write gzip with Python's gzip": lambda: ab.write(io.BytesIO(), records, compresslevel=6),
        "write codes": lambda: ab.write(io.BytesIO(), [("r", b"\x02\x00\x03")], alphabet=DNA),
        "write wide codes": lambda: ab.write(io.BytesIO(), [("w", array.array("H", [0, 297]))], alphabet=WIDE),
        "write pairs": lambda: ab.write((io.BytesIO(), io.BytesIO()), pairs),
        "write interleaved pairs": lambda: ab.write(io.BytesIO(), pairs, interleaved=True),
        "a Writer, one at a time": one_at_a_time,
        "write a quality too short": (lambda: ab.write(io.BytesIO(), [("q", "AC", "I")]), ValueError),
        "write a code not in the alphabet": (lambda: ab.write(io.BytesIO(), [("r", b"\x07")], alphabet=DNA), ab.AlphabetError),
        "write codes without an alphabet": (lambda: ab.write(io.BytesIO(), [("r", b"\x00")]), TypeError),
        "write a surrogate": (lambda: ab.write(io.BytesIO(), [("r\ud800", "A")]), ValueError),
        "write to a closed writer": (closed_writer, ValueError),
        "write to a full disk": (full, OSError),
        "write with a bad option": (lambda: ab.write(io.BytesIO(), [], compresslevel=10), ValueError),
    }  # fmt: skip


def rows(calls):
    return [
        pytest.param(*(call if isinstance(call, tuple) else (call, ())), id=name)
        for name, call in calls.items()
    ]


@pytest.mark.parametrize("call, expected", rows(ALPHABET_CALLS) + rows(sequence_calls()))
def test_alphabets_and_sequences_leave_nothing(call, expected):
    blocks, handles = leaks(call, RUNS, expected)
    assert handles == 0
    assert blocks < BOUND


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    return files(tmp_path_factory.mktemp("leaks"))


@pytest.mark.parametrize("name", list(writer_calls()))
def test_writing_leaves_nothing(name):
    if name == "write to a full disk" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    call = writer_calls()[name]
    call, expected = call if isinstance(call, tuple) else (call, ())
    blocks, handles = leaks(call, RUNS, expected)
    assert handles == 0
    assert blocks < BOUND


@pytest.mark.parametrize("name", list(reader_calls({})) + list(genome_calls({})))
def test_reading_leaves_nothing(paths, name):
    call = {**reader_calls(paths), **genome_calls(paths)}[name]
    call, expected = call if isinstance(call, tuple) else (call, ())
    blocks, handles = leaks(call, RUNS, expected)
    assert handles == 0
    assert blocks < BOUND
