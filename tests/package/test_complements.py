"""Extended alphabets, reverse complements and k-mer indices."""

import array

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import alphabet as ab

try:
    import numpy
except ImportError:
    numpy = None

EXTENDED = [
    (ab.iupac_dna, ab.dna, "ACGTRYSWKMBDHVN-"),
    (ab.iupac_rna, ab.rna, "ACGURYSWKMBDHVN-"),
    (ab.extended_protein, ab.protein, "ACDEFGHIKLMNPQRSTVWYBJZXUO*-"),
]


@pytest.mark.parametrize("extended, standard, symbols", EXTENDED)
def test_extended_alphabets_keep_the_standard_codes_and_are_one_object(extended, standard, symbols):
    a = extended()
    assert a is extended() and a.symbols == tuple(symbols)
    base = standard()
    assert a.symbols[: len(base)] == base.symbols
    assert [a.encode(symbol) for symbol in base] == list(range(len(base)))
    assert a.encode_all(symbols) == bytes(range(len(symbols)))


PAIRS = {"A": "T", "C": "G", "R": "Y", "K": "M", "B": "V", "D": "H", "S": "S", "W": "W",
         "N": "N", "-": "-"}  # fmt: skip
DNA_COMPLEMENTS = {**PAIRS, **{b: a for a, b in PAIRS.items()}}
RNA_COMPLEMENTS = {k.replace("T", "U"): v.replace("T", "U") for k, v in DNA_COMPLEMENTS.items()}
COMPLEMENTED = [
    (ab.dna, {s: DNA_COMPLEMENTS[s] for s in "ACGT"}),
    (ab.rna, {s: RNA_COMPLEMENTS[s] for s in "ACGU"}),
    (ab.iupac_dna, DNA_COMPLEMENTS),
    (ab.iupac_rna, RNA_COMPLEMENTS),
]


@pytest.mark.parametrize("get, complements", COMPLEMENTED)
def test_every_symbols_complement(get, complements):
    a = get()
    assert dict(a.complements) == complements
    for symbol in a:
        assert a.reverse_complement(symbol) == complements[symbol]
        assert a.reverse_complement([a.encode(symbol)]) == [a.encode(complements[symbol])]
        assert complements[complements[symbol]] == symbol


def numpy_array(dtype):
    def make(codes):
        if numpy is None:
            pytest.skip("numpy is not installed")
        return numpy.array(codes, dtype=dtype)

    return make


INPUT_TYPES = {
    "bytes": bytes,
    "bytearray": bytearray,
    "list": list,
    "array B": lambda codes: array.array("B", codes),
    "array H": lambda codes: array.array("H", codes),
    "array q": lambda codes: array.array("q", codes),
    "numpy uint8": numpy_array("uint8"),
    "numpy int64": numpy_array("int64"),
    "numpy uint16": numpy_array("uint16"),
}


def same_codes(result, codes):
    if numpy is not None and isinstance(result, numpy.ndarray):
        return result.tolist()
    return list(result)


@pytest.mark.parametrize("make", INPUT_TYPES.values(), ids=INPUT_TYPES.keys())
@pytest.mark.parametrize("get", [ab.dna, ab.iupac_rna])
@settings(max_examples=25, deadline=None)
@given(data=st.data())
def test_reverse_complement_keeps_the_type_and_is_an_involution(make, get, data):
    a = get()
    codes = data.draw(st.lists(st.integers(0, len(a) - 1), max_size=40))
    given_codes = make(codes)
    once = a.reverse_complement(given_codes)
    assert type(once) is type(given_codes)
    if hasattr(given_codes, "dtype"):
        assert once.dtype == given_codes.dtype
    if isinstance(given_codes, array.array):
        assert once.typecode == given_codes.typecode
    # one symbol at a time, through the complement table and the library
    complement = {a.encode(s): a.encode(c) for s, c in a.complements.items()}
    assert same_codes(once, codes) == [complement[code] for code in reversed(codes)]
    assert same_codes(a.reverse_complement(once), codes) == codes
    assert same_codes(given_codes, codes) == codes  # the input is left as it was


@pytest.mark.parametrize("make", INPUT_TYPES.values(), ids=INPUT_TYPES.keys())
def test_reverse_complement_names_a_code_out_of_range(make):
    with pytest.raises(ab.AlphabetError) as info:
        ab.dna().reverse_complement(make([0, 3, 4, 1]))
    assert info.value.position == 2
    assert str(info.value) == "Code 4 not in alphabet at position 2"


def test_reverse_complement_of_text_and_of_longer_symbols():
    dna = ab.dna()
    assert dna.reverse_complement("GATTACA") == "TGTAATC"
    assert dna.with_options(ignore_case=True).reverse_complement("gattaca") == "tgtaatc"
    assert ab.iupac_dna().reverse_complement("ACGTRYSWKMBDHVN-") == "-NBDHVKMWSRYACGT"
    with pytest.raises(ab.AlphabetError):
        dna.reverse_complement("GATN")
    codons = ab.Alphabet(["AAA", "TTT", "GC"], complements={"AAA": "TTT", "TTT": "AAA", "GC": "GC"})
    assert codons.reverse_complement([0, 2, 2, 1]) == [0, 2, 2, 1]
    assert codons.reverse_complement(b"\x00\x00\x02") == b"\x02\x01\x01"


@pytest.mark.parametrize("a", [ab.protein(), ab.extended_protein(), ab.Alphabet("ACGT")], ids=repr)
def test_alphabets_without_complements_refuse_with_type_error(a):
    with pytest.raises(TypeError, match="declares no complements"):
        a.reverse_complement(b"\x00")
    assert a.complements is None


@pytest.mark.parametrize("get", [ab.dna, ab.iupac_dna, ab.protein])
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_kmers_read_codes_as_digits_first_most_significant(get, data):
    a = get()
    n = len(a)
    codes = data.draw(st.lists(st.integers(0, n - 1), max_size=30))
    k = data.draw(st.integers(1, 8))
    expected = [
        sum(code * n ** (k - 1 - j) for j, code in enumerate(codes[i : i + k]))
        for i in range(len(codes) - k + 1)
    ]
    for given_codes in (codes, bytes(codes), array.array("H", codes)):
        indices = a.kmers(given_codes, k)
        assert isinstance(indices, array.array) and indices.typecode == "Q"
        assert indices.tolist() == expected


def test_kmers_reach_the_64_bit_bound_and_refuse_beyond_it():
    dna = ab.dna()
    assert dna.kmers("T" * 33, 32).tolist() == [2**64 - 1] * 2
    assert dna.kmers("GATTACA", 3).tolist() == [35, 15, 60, 49, 4]
    assert dna.kmers("GA", 3).tolist() == []
    three = ab.Alphabet("ABC")
    assert three.kmers("C" * 40, 40).tolist() == [3**40 - 1]  # 3**40 < 2**64 < 3**41
    for a, k in ((dna, 33), (three, 41), (dna, 0), (dna, -1), (ab.iupac_dna(), 17)):
        with pytest.raises(ValueError):
            a.kmers(b"", k)


def test_kmers_name_a_code_out_of_range():
    for codes, bad in (([0, 1, 4, 0], 4), ([0, -1], -1), ([0, 1, 2**70], 2**70)):
        with pytest.raises(ab.AlphabetError) as info:
            ab.dna().kmers(codes, 2)
        assert str(info.value) == f"Code {bad} not in alphabet at position {codes.index(bad)}"


@pytest.mark.parametrize(
    "alphabet, text, expected",
    [
        (ab.dna().with_options(ignore_case=True), "ACgt", "acGT"),
        (ab.iupac_dna().with_options(ignore_case=True), "nnACGTrYk-", "-mRyACGTnn"),
        (ab.Alphabet("AÉ", ignore_case=True, complements="ÉA"), "aÉé", "aAé"),
        (ab.dna(), "GATTACA", "TGTAATC"),
    ],
)
def test_soft_masked_text_keeps_each_letters_case(alphabet, text, expected):
    assert alphabet.reverse_complement(text) == expected
