"""No function or type of alphabet._native called directly leaves anything
behind, its refusals included: each call runs a thousand times and the
interpreter's allocated blocks and the registry's live entries come back to
where they were (helpers.leaks).  A new function gets rows here."""

import array
import io
import sys

import pytest

import _alphabet as m
from alphabet import _native as n
from helpers import IndexOf, leaks

RUNS = 1000
BOUND = RUNS // 10

if sys.getallocatedblocks() == 0:
    pytest.skip("the interpreter's allocator counts no blocks here", allow_module_level=True)


class Owner(n.Held):
    __slots__ = ()


class Ints(n.SequenceBase):
    __slots__ = ()
    kind = "int32"


class Kindless(n.SequenceBase):
    __slots__ = ()


DNA = n.Codec(tuple("ACGT"))
FOLDING = n.Codec(tuple("ACGTÄ"), spellings={"U": 3, "ü": 3}, unknown=0, ignore_case=True)
CODONS = n.Codec(("AAA", "AAC"))
WIDE = n.Codec(tuple(chr(c) for c in range(0x100, 0x100 + 300)))
OWNED = n.new_alphabet(Owner, "ACGT")[0]
COMPLEMENT = bytes([3, 2, 1, 0])
TABLE = n.codon_table("K" * 30 + "*" * 4 + "M" * 30)
PATH = n.use_kernel_path(n.kernel_paths()[-1])
n.use_kernel_path(PATH)


def reader(data, **options):
    with n.Reader(io.BytesIO(data), **options) as made:
        return list(made), made.bytes_read, made.format, made.closed


def writer(records, pairs=False, **options):
    chunks = []
    made = n.Writer(chunks.append, chunk_size=64, **options)
    count = made.write_pairs(records) if pairs else made.write_all(records)
    made.close()
    return count, b"".join(chunks), made.format, made.count, made.closed


CALLS = {
    "Codec": lambda: n.Codec(tuple("ACGT"), spellings={"U": 3}, unknown=0, ignore_case=True),
    "Codec of codons": lambda: n.Codec(("AAA", "AAC", "AAA")),
    "Codec of a str": (lambda: n.Codec("ACGT"), TypeError),
    "Codec with a bad spelling": (lambda: n.Codec(("A",), spellings={"U": 7}), ValueError),
    "Codec with a bad unknown": (lambda: n.Codec(("A",), unknown=IndexOf(-1)), ValueError),
    "Codec of no str": (lambda: n.Codec(("A", 5)), TypeError),
    "encode a str": lambda: DNA.encode("GATTACA" * 30),
    "encode a wide str": lambda: WIDE.encode("ĀāĂ" * 30),
    "encode with case and spellings": lambda: FOLDING.encode("gauüäxÄ"),
    "encode a buffer": lambda: DNA.encode(bytearray(b"GATTACA")),
    "encode a list": lambda: FOLDING.encode(["g", "U", "ä", "?"]),
    "encode codons": lambda: CODONS.encode(["AAC", "AAA"]),
    "encode an unknown symbol": (lambda: DNA.encode("GAXT"), Exception),
    "encode an unknown listed symbol": (lambda: DNA.encode(["G", "X"]), Exception),
    "encode a buffer of ints": (lambda: DNA.encode(array.array("i", [1])), TypeError),
    "encode_one": lambda: FOLDING.encode_one("ü"),
    "encode_one unknown": (lambda: DNA.encode_one("X"), Exception),
    "decode_str": lambda: DNA.decode_str(b"\x00\x01\x02\x03" * 30),
    "decode_str wide": lambda: WIDE.decode_str(array.array("H", [0, 299])),
    "decode_str of a memoryview": lambda: DNA.decode_str(memoryview(b"\0\1\0\2")),
    "decode_str of ints": lambda: DNA.decode_str([0, IndexOf(1)]),
    "decode_str bad code": (lambda: DNA.decode_str([0, -1]), Exception),
    "decode_str huge code": (lambda: DNA.decode_str([0, 10**40]), Exception),
    "decode_str of codons": lambda: CODONS.decode_str(b"\0\1"),
    "encode codons as text": lambda: CODONS.encode("AACAAA" * 20),
    "encode codons as text, refused": (lambda: CODONS.encode("AACA"), Exception),
    "reverse_case": lambda: n.reverse_case("ACGT" * 10, "acGT" * 10),
    "reverse_case refused": (lambda: n.reverse_case("A", "ab"), TypeError),
    "decode_list": lambda: CODONS.decode_list(b"\0\1\0"),
    "decode_list bad code": (lambda: CODONS.decode_list(b"\0\7"), Exception),
    "reverse_translate bytes": lambda: n.reverse_translate(b"\0\1\2", COMPLEMENT),
    "reverse_translate memoryview": lambda: n.reverse_translate(
        memoryview(array.array("H", [0, 1])), COMPLEMENT
    ),
    "reverse_translate array": lambda: n.reverse_translate(array.array("b", [0, 1]), COMPLEMENT),
    "reverse_translate list": lambda: n.reverse_translate([0, 1, 2], COMPLEMENT),
    "reverse_translate tuple": lambda: n.reverse_translate((0, 1, 2), COMPLEMENT),
    "reverse_translate bad code": (lambda: n.reverse_translate(b"\7", COMPLEMENT), Exception),
    "reverse_translate no buffer": (lambda: n.reverse_translate(object(), COMPLEMENT), TypeError),
    "kmers": lambda: n.kmers(b"\0\1\2\3" * 20, 5, 4),
    "kmers wide": lambda: n.kmers(array.array("I", [0, 1, 2, 3]), 2, 300),
    "kmers of a list": lambda: n.kmers([0, 1, 2], 2, 4),
    "kmers of base 2**64": lambda: n.kmers([0, 1, 2], 1, 2**64),
    "kmers bad base": (lambda: n.kmers(b"\0", 2, -1), ValueError),
    "kmers bad code": (lambda: n.kmers(b"\0\x09", 1, 4), Exception),
    "kmers canonical": lambda: n.kmers(b"\0\1\2\3" * 20, 5, 4, complement=COMPLEMENT),
    "kmers skipping": lambda: n.kmers(array.array("H", [0, 5, 1, 2]), 2, 4, skip=True, limit=16),
    "kmers bad complement": (lambda: n.kmers(b"\0", 1, 4, complement=b"\7\0\0\0"), ValueError),
    "kmer_positions": lambda: n.kmer_positions([0, 5, 1, 2], 2, 4, skip=True, limit=6),
    "minimizers": lambda: n.minimizers(b"\0\1\2\3" * 20, 5, 4, 4, complement=COMPLEMENT),
    "minimizers bad code": (lambda: n.minimizers(b"\0\7", 1, 1, 4), Exception),
    "encode_batch": lambda: n.encode_batch(DNA, ["GAT", b"\0", [1, 2]], 0, prefix=[1], format="q"),
    "encode_batch flat": lambda: n.encode_batch(
        DNA, b"GATTACA", 0, offsets=array.array("q", [0, 3, 7]), text=True
    ),
    "encode_batch refused": (lambda: n.encode_batch(DNA, ["GAT", "GAX"], 0), Exception),
    "encode_batch bad format": (lambda: n.encode_batch(DNA, ["G"], 0, format="f"), ValueError),
    "decode_batch": lambda: n.decode_batch(DNA, memoryview(b"\0\1\2\3").cast("B", (2, 2)), b"\2\1"),
    "decode_batch of one dimension": (lambda: n.decode_batch(DNA, b"\0", b"\1"), TypeError),
    "one_hot": lambda: n.one_hot(b"\0\1\2\3" * 10, bytes(range(16)), 4, "B").tolist(),
    "one_hot of a batch": lambda: n.one_hot(
        n.encode_batch(DNA, ["GA", "T"], 4)[0], bytes(20), 4, "B", batch=True
    ),
    "one_hot bad code": (lambda: n.one_hot([0, 5], bytes(16), 4, "B"), Exception),
    "codon_table": lambda: n.codon_table("F" * 64),
    "codon_table refused": (lambda: n.codon_table("F"), ValueError),
    "translate": lambda: n.translate("ATGNNNTAA" * 10, TABLE, 1, True),
    "translate refused": (lambda: n.translate("AT-GGG", TABLE), Exception),
    "six_frames": lambda: n.six_frames(array.array("H", [0, 3, 2, 14] * 10), TABLE),
    "format_codes": lambda: n.format_codes(b"\0\7\255"),
    "format_codes wide": lambda: n.format_codes(array.array("H", [65535, 0])),
    "format_codes refused": (lambda: n.format_codes(array.array("i", [1])), TypeError),
    "kernel paths": lambda: (n.kernel_paths(), n.use_kernel_path(PATH)),
    "no such kernel path": (lambda: n.use_kernel_path("nope"), ValueError),
    "new_alphabet": lambda: n.new_alphabet(Owner, ["A", "CC"]),
    "new_alphabet of no str": (lambda: n.new_alphabet(Owner, ["A", 5]), TypeError),
    "new_alphabet of a surrogate": (lambda: n.new_alphabet(Owner, "A\ud800"), Exception),
    "extend_alphabet": lambda: n.extend_alphabet(OWNED, "N"),
    "alphabet_symbols": lambda: n.alphabet_symbols(OWNED),
    "standard_alphabet": lambda: n.standard_alphabet(Owner, "protein"),
    "standard_alphabet unknown": (lambda: n.standard_alphabet(Owner, "nope"), ValueError),
    "adopt": lambda: n.adopt(Owner, OWNED.handle),
    "adopt of nothing": (lambda: n.adopt(Owner, 0), ValueError),
    "adopt into no Held": (lambda: n.adopt(int, OWNED.handle), TypeError),
    "a sequence": lambda: list(Ints([1, 2, 3])[1:]),
    "a sequence of no kind": (lambda: Kindless([1]), TypeError),
    "a Reader": lambda: reader(b">r d\nGAT\n>s\nAC\n", codec=DNA, chunk_size=3),
    "a Reader of FASTQ": lambda: reader(b"@q\nGAT\n+\nIII\n", head=b"", closer=lambda: None),
    "a Reader of bad input": (lambda: reader(b"GAT\n"), ValueError),
    "a Reader of an unknown symbol": (lambda: reader(b">r\nGAX\n", codec=DNA), Exception),
    "a Reader with a bad chunk": (lambda: reader(b"", chunk_size=0), ValueError),
    "a Reader with no codec": (lambda: reader(b"", codec=5), TypeError),
    "parse_codes": lambda: n.parse_codes(b"2 0, 3\t255"),
    "parse_codes wide": lambda: n.parse_codes(b"65536 70000 1"),
    "parse_codes refused": (lambda: n.parse_codes(b"1 -2"), ValueError),
    "a Writer of records": lambda: writer([n.Record("r", "d", "GAT" * 40, "I" * 120)] * 3),
    "a Writer of tuples and codes": lambda: writer(
        [("r", b"\0\1\2" * 30), ("s", [3, 2])], codec=DNA, line_width=7
    ),
    "a Writer of wide codes": lambda: writer([("w", array.array("H", [299, 0]))], codec=WIDE),
    "a Writer of pairs": lambda: writer([(("a", "A", "I"), ("b", "C", "#"))], pairs=True),
    "a Writer refusing a record": (lambda: writer([("r", "AC", "I")]), ValueError),
    "a Writer refusing a code": (lambda: writer([("r", b"\7")], codec=DNA), Exception),
    "a Writer refusing codes": (lambda: writer([("r", b"\0")]), TypeError),
    "a Writer of a bad width": (lambda: writer([], line_width=-1), ValueError),
    "a Writer with a failing sink": (
        lambda: n.Writer(_fails, chunk_size=64).write_all([("r", "A")] * 90),
        OSError,
    ),
    "a Record": lambda: repr(n.Record("a", "b", "G" * 100, "I" * 100)),
    "a Record with a bad quality": (lambda: n.Record("a", "b", "G", 5), TypeError),
}


def _fails(chunk):
    raise OSError("full")


@pytest.mark.parametrize(
    "call, expected",
    [
        pytest.param(*(call if isinstance(call, tuple) else (call, ())), id=name)
        for name, call in CALLS.items()
    ],
)
def test_native_calls_leave_nothing(call, expected):
    blocks, handles = leaks(call, RUNS, expected)
    assert handles == 0
    assert blocks < BOUND


def test_the_leak_check_sees_one_reference_per_call():
    # The check itself: a call that keeps one object alive per call is seen.
    kept = []
    blocks, _ = leaks(lambda: kept.append(object()), RUNS)
    assert blocks >= RUNS
    handles = []
    _, entries = leaks(lambda: handles.append(m.alphabet_DNA()), RUNS)
    assert entries >= RUNS
    for handle in handles:
        m.IncRef(handle)
        m.DecRef(handle)
