"""Alphabet options (ignore_case, aliases, unknown): every encoding path, copies, equality."""

import array
import copy
import pickle

import pytest

import _alphabet as m
import alphabet as ab

NUCLEOTIDES = "ACGTN"
WIDE = [chr(0x4E00 + i) for i in range(300)] + ["Ω"]  # one character each, codes beyond a byte

# (symbols, options, input symbols, the symbols they stand for or the first bad position)
CASES = [
    (NUCLEOTIDES, {}, "GATC", "GATC"),
    (NUCLEOTIDES, {}, "GAtC", 2),
    (NUCLEOTIDES, {"ignore_case": True}, "gAtCn", "GATCN"),
    (NUCLEOTIDES, {"ignore_case": True}, "ga\rc", 2),
    (NUCLEOTIDES, {"aliases": {"U": "T"}}, "GAUC", "GATC"),
    (NUCLEOTIDES, {"aliases": {"U": "T"}}, "GAuC", 2),
    (NUCLEOTIDES, {"aliases": {"u": "T"}}, "GAuC", "GATC"),
    # with ignore_case an alias takes either case too
    (NUCLEOTIDES, {"ignore_case": True, "aliases": {"U": "T"}}, "gauc", "GATC"),
    (NUCLEOTIDES, {"unknown": "N"}, "GAX\r\xffC", "GANNNC"),
    (NUCLEOTIDES, {"unknown": "N"}, "gaN", "NNN"),
    (NUCLEOTIDES, {"ignore_case": True, "unknown": "N", "aliases": {"U": "T"}}, "gx-u", "GNNT"),
    # an exact symbol wins over an alias's other-case form and over case folding
    ("ACGTu", {"ignore_case": True, "aliases": {"U": "T"}}, "uUa", "uTA"),
    ("AaC", {"ignore_case": True}, "aAc", "aAC"),
    # two symbols differ from "b" only in case: neither is chosen
    ("BbC", {"ignore_case": True}, "c", "C"),
    (["Bb", "bB", "C"], {"ignore_case": True}, ["BB"], 0),
    (["Ala", "Gly", "Ter"], {"ignore_case": True, "aliases": {"*": "Ter", "Stop": "Ter"}},
     ["ala", "GLY", "*", "stop", "STOP", "Stop"], ["Ala", "Gly", "Ter", "Ter", "Ter", "Ter"]),
    (["Ala", "Xaa"], {"unknown": "Xaa"}, ["Ala", "Foo", "", "A\0"], ["Ala", "Xaa", "Xaa", "Xaa"]),
    (["Ala", "Xaa"], {"aliases": {"X": "Xaa"}}, ["X", "x"], 1),
    (WIDE, {"ignore_case": True}, "ω\u4e00", "Ω\u4e00"),
    (WIDE, {"unknown": "Ω"}, "\u4e00?", "\u4e00Ω"),
]  # fmt: skip


def one_char(symbols):
    return all(len(symbol) == 1 for symbol in symbols)


def bulk_inputs(items, symbols):
    """Every form encode_all takes for `items`, by the name of the path."""
    forms = {"list": list(items), "iterator": iter(list(items)), "tuple": tuple(items)}
    if one_char(symbols):
        text = "".join(items)
        forms["str"] = text
        if all(ord(c) < 256 for c in text):
            forms["bytes"] = text.encode("latin-1")
            forms["bytearray"] = bytearray(forms["bytes"])
            forms["memoryview"] = memoryview(forms["bytes"])
            forms["array"] = array.array("B", forms["bytes"])
    return forms


@pytest.mark.parametrize("symbols, options, given, meant", CASES)
def test_options_apply_alike_on_every_path(symbols, options, given, meant):
    a = ab.Alphabet(symbols, **options)
    items = list(given)
    if isinstance(meant, int):
        bad = items[meant]
        with pytest.raises(ab.AlphabetError) as info:
            a.encode(bad)
        assert str(info.value) == f"Symbol {bad!r} not in alphabet"
        for path, form in bulk_inputs(items, symbols).items():
            with pytest.raises(ab.AlphabetError) as info:
                a.encode_all(form)
            assert info.value.position == meant, path
            assert str(info.value) == f"Symbol {bad!r} not in alphabet at position {meant}", path
        return
    # The codes the canonical symbols have without any option, one library call each.
    plain = ab.Alphabet(symbols)
    expected = [plain.encode(symbol) for symbol in meant]
    assert [a.encode(item) for item in items] == expected
    for path, form in bulk_inputs(items, symbols).items():
        codes = a.encode_all(form)
        assert list(codes) == expected, path
        # bytes up to 256 symbols, else the narrowest unsigned array
        assert getattr(codes, "typecode", None) == (None if len(symbols) <= 256 else "H"), path
    # Decoding gives the canonical symbols, whatever spelt them.
    codes = a.encode_all(items)
    assert a.decode_all(codes) == list(meant) == [a.decode(code) for code in codes]
    if one_char(symbols):
        assert a.decode_str(codes) == "".join(meant)


@pytest.mark.parametrize(
    "options, error",
    [
        ({"aliases": {"X": "Z"}}, ValueError),  # the target is not a symbol
        ({"aliases": {"A": "C"}}, ValueError),  # the alias is a symbol itself
        ({"aliases": {"X": 1}}, TypeError),
        ({"aliases": ["X"]}, TypeError),
        ({"unknown": "Z"}, ValueError),
        ({"unknown": 0}, TypeError),
        ({"ignore_case": "yes"}, TypeError),
        ({"complements": {"A": "T", "C": "G", "G": "C"}}, ValueError),  # T has none
        ({"complements": {"A": "T", "C": "G", "G": "C", "T": "U"}}, ValueError),
        ({"complements": {"A": "T", "C": "G", "G": "C", "T": "A", "U": "A"}}, ValueError),
        ({"complements": "TGC"}, ValueError),
        ({"complements": "TGCX"}, ValueError),
        ({"complements": 5}, TypeError),
        ({"complements": {"A": "T", "C": "G", "G": "C", "T": 0}}, TypeError),
    ],
)
def test_refused_options_leave_nothing_registered(options, error):
    before = m.NumHandles()
    with pytest.raises(error):
        ab.Alphabet("ACGT", **options)
    assert m.NumHandles() == before


def test_complements_must_agree_for_a_repeated_symbol_and_fit_a_byte():
    assert ab.Alphabet("ACA", complements="CAC").reverse_complement("AAC") == "ACC"
    with pytest.raises(ValueError):
        ab.Alphabet("ACA", complements="CAG")
    with pytest.raises(ValueError):
        ab.Alphabet(WIDE, complements=WIDE[::-1])


OPTIONED = [
    ab.Alphabet("ACGTN", ignore_case=True),
    ab.Alphabet("ACGTN", aliases={"U": "T", "u": "T"}),
    ab.Alphabet("ACGTN", unknown="N"),
    ab.Alphabet("ACGTN", complements="TGCAN"),
    ab.Alphabet(["Ala", "Ter"], ignore_case=True, aliases={"*": "Ter"}, unknown="Ter",
                complements={"Ala": "Ter", "Ter": "Ala"}),
]  # fmt: skip


@pytest.mark.parametrize("a", OPTIONED, ids=repr)
def test_options_travel_with_pickles_copies_and_repr(a):
    for twin in (
        pickle.loads(pickle.dumps(a)),
        pickle.loads(pickle.dumps(a, protocol=2)),
        copy.copy(a),
        copy.deepcopy(a),
        eval(repr(a), {"Alphabet": ab.Alphabet}),
    ):
        assert twin == a and hash(twin) == hash(a)
        assert (twin.ignore_case, twin.aliases, twin.unknown, twin.complements) == (
            a.ignore_case, a.aliases, a.unknown, a.complements
        )  # fmt: skip
    plain = ab.Alphabet(a.symbols)
    assert a != plain and repr(a) != repr(plain)


@pytest.mark.parametrize(
    "change",
    [
        {"ignore_case": True},
        {"aliases": {"U": "T"}},
        {"aliases": {"U": "A"}},
        {"unknown": "N"},
        {"complements": "TGCAN"},
        {"complements": "AAAAA"},
    ],
)
def test_every_option_takes_part_in_equality(change):
    options = {"aliases": {"u": "T", "X": "A"}, "complements": "ACGTN"}
    base = ab.Alphabet("ACGTN", **options)
    changed = base.with_options(**change)
    assert changed != base
    assert changed == ab.Alphabet("ACGTN", **{**options, **change})
    # the same options given in another order or form
    same = ab.Alphabet(list("ACGTN"), aliases={"X": "A", "u": "T"},
                       complements={"T": "T", "G": "G", "C": "C", "A": "A", "N": "N"})  # fmt: skip
    assert same == base and hash(same) == hash(base)


def test_with_options_shares_the_entry_keeps_the_rest_and_clears_with_none():
    a = ab.Alphabet("ACGTN", aliases={"U": "T"}, unknown="N")
    before = m.NumHandles()
    lenient = a.with_options(ignore_case=True)
    assert m.NumHandles() == before and lenient.handle == a.handle
    assert (lenient.ignore_case, dict(lenient.aliases), lenient.unknown) == (True, {"U": "T"}, "N")
    assert lenient.encode_all("gu?") == b"\x02\x03\x04"
    strict = lenient.with_options(aliases=None, unknown=None)
    assert (strict.aliases, strict.unknown, strict.ignore_case) == ({}, None, True)
    with pytest.raises(ab.AlphabetError):
        strict.encode("U")
    assert a.with_options() is a and a.with_options(unknown="N") is a
    with pytest.raises(TypeError):
        a.with_options(ignorecase=True)
    # the original is unchanged, and outlives its twins' release
    del lenient, strict
    assert a.encode_all("GUX") == b"\x02\x03\x04" and m.NumHandles() == before


def test_extend_keeps_the_options_but_not_complements():
    a = ab.Alphabet("ACGT", ignore_case=True, aliases={"U": "T", "N": "A"}, unknown="A",
                    complements="TGCA")  # fmt: skip
    grown = a.extend("N")
    assert grown.ignore_case and grown.unknown == "A" and grown.complements is None
    # "N" is now a symbol: the symbol wins, and the alias that spelt it goes
    assert dict(grown.aliases) == {"U": "T"}
    assert list(grown.encode_all("nu?")) == [4, 3, 0]
    assert list(a.encode_all("nu?")) == [0, 3, 0]


@pytest.mark.parametrize(
    "symbols, aliases, as_given, shared",
    [
        # Two aliases that differ only in case, of different symbols.
        ("ACGT", {"Ab": "A", "aB": "C"}, {"Ab": 0, "aB": 1}, ["ab", "AB"]),
        # An alias whose case form is a symbol of another code.
        (["A", "C", "ab"], {"AB": "C"}, {"AB": 1, "ab": 2}, ["Ab", "aB"]),
        (["A", "C", "ab"], {"Ab": "C"}, {"Ab": 1, "ab": 2}, ["AB", "aB"]),
        # One character: the alias "u" of G beside the symbol "U".
        ("ACGTU", {"u": "G"}, {"u": 2, "U": 4}, []),
    ],
)
def test_aliases_that_meet_under_ignore_case(symbols, aliases, as_given, shared):
    alphabet = ab.Alphabet(symbols, ignore_case=True, aliases=aliases)
    for text, code in as_given.items():
        assert alphabet.encode(text) == code
        assert list(alphabet.encode_all([text])) == [code]
    # A form that belongs to two codes is no one's, whichever way it comes.
    for text in shared:
        with pytest.raises(ab.AlphabetError, match=repr(text)):
            alphabet.encode(text)
        with pytest.raises(ab.AlphabetError, match="at position 1"):
            alphabet.encode_all([next(iter(as_given)), text])
    # ... and with unknown set, it encodes as unknown.
    lenient = alphabet.with_options(unknown=alphabet.symbols[0])
    assert list(lenient.encode_all(list(as_given) + shared)) == (
        list(as_given.values()) + [0] * len(shared)
    )
