"""The cached standard alphabets, from_handle, membership, huge codes and the class's help."""

import doctest
import pydoc
import sys

import pytest

import _alphabet as m
import alphabet as ab
from alphabet import _native

STANDARD = [(ab.dna, ab.set_dna, "ACGT"), (ab.rna, ab.set_rna, "ACGU"),
            (ab.protein, ab.set_protein, "ACDEFGHIKLMNPQRSTVWY")]  # fmt: skip


@pytest.mark.parametrize("get, put, symbols", STANDARD)
def test_standard_alphabets_are_one_object_until_replaced(standard, get, put, symbols):
    first = get()
    assert first is get() and "".join(first) == symbols
    before = m.NumHandles()
    assert all(get() is first for _ in range(100)) and m.NumHandles() == before
    lenient = first.with_options(ignore_case=True)
    put(lenient)
    assert get() is lenient and get().encode(symbols[-1].lower()) == len(symbols) - 1
    put(None)
    assert get() is None
    put(first)
    assert get() is first


def test_the_library_sees_the_package_replacement_and_not_the_other_way(standard):
    grown = ab.dna().extend("N")
    ab.set_dna(grown)
    raw = m.alphabet_DNA()
    m.IncRef(raw)
    try:
        assert m.alphabet_Alphabet_Encode(raw, "N") == 4
        # A replacement made through the module bypasses the package.
        m.alphabet_Set_DNA(_native.standard_alphabet(ab.Alphabet, "rna").handle)
        assert ab.dna() is grown
    finally:
        m.DecRef(raw)


def test_a_replacement_keeps_its_complements(standard):
    ab.set_dna(ab.iupac_dna())
    assert ab.dna().reverse_complement("ACGTN") == "NACGT"
    ab.set_dna(ab.Alphabet("ACGT"))
    with pytest.raises(TypeError):
        ab.dna().reverse_complement("ACGT")


def test_membership_asks_the_library_without_copying_symbols(monkeypatch):
    big = ab.Alphabet(f"s{i}" for i in range(1_000_000))

    def no_copy(alphabet):
        raise AssertionError("membership copied the symbols")

    monkeypatch.setattr(_native, "alphabet_symbols", no_copy)
    assert "s999999" in big and "s0" in big and "s" not in big and "s1000000" not in big
    assert len(big) == 1_000_000


def test_membership_is_for_the_symbols_themselves():
    a = ab.Alphabet("ACGTN", ignore_case=True, aliases={"U": "T"}, unknown="N")
    assert a.encode("g") == 2 and a.encode("U") == 3 and a.encode("?") == 4
    assert "G" in a and "N" in a
    for spelling in ("g", "U", "?", "", "A\0", "\ud800", 2, None, b"A"):
        assert spelling not in a


def test_from_handle_of_another_kind_leaves_the_callers_entry_alone():
    before = m.NumHandles()
    fresh = m.Slice_int_CTor()  # count 0: one stray DecRef would release it
    with pytest.raises(TypeError):
        ab.Alphabet.from_handle(fresh)
    m.Slice_int_append(fresh, 7)
    assert m.Slice_int_len(fresh) == 1 and m.NumHandles() == before + 1
    m.IncRef(fresh)
    m.DecRef(fresh)
    assert m.NumHandles() == before


@pytest.mark.parametrize("handle", [0, -5, 2**62])
def test_from_handle_of_nothing_is_a_value_error(handle):
    before = m.NumHandles()
    with pytest.raises(ValueError):
        ab.Alphabet.from_handle(handle)
    assert m.NumHandles() == before


def test_from_handle_adopts_an_alphabet_without_options():
    raw = m.alphabet_Alphabet_Extend(ab.iupac_dna().handle, m.Slice_string_CTor())
    wrapped = ab.Alphabet.from_handle(raw)
    assert wrapped.symbols == ab.iupac_dna().symbols and len(wrapped) == 16
    assert wrapped.complements is None and wrapped != ab.iupac_dna()
    del wrapped
    assert m.alphabet_Alphabet_Encode(raw, "G") == 0  # the last share went with the wrapper


HUGE = [10**5000, -(10**5000), 2**64, 10**700 + 1]


@pytest.mark.parametrize("code", HUGE, ids=["10**5000", "-10**5000", "2**64", "10**700+1"])
def test_huge_codes_are_alphabet_errors_in_full_decimal(code):
    dna = ab.dna()
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(640)  # the lowest limit there is
    try:
        with pytest.raises(ab.AlphabetError) as info:
            dna.decode(code)
        message = str(info.value)
        for call in (dna.decode_all, dna.decode_str):
            with pytest.raises(ab.AlphabetError) as bulk:
                call([1, code])
            assert bulk.value.position == 1
            assert str(bulk.value) == message + " at position 1"
    finally:
        sys.set_int_max_str_digits(0)  # no limit, to write the expected message
        expected = f"Code {code} not in alphabet"
        sys.set_int_max_str_digits(limit)
    assert message == expected


def test_help_shows_the_api_with_a_working_example():
    text = pydoc.render_doc(ab.Alphabet, renderer=pydoc.plaintext)
    assert ">>> dna = Alphabet(" in text
    for name in ("with_options", "reverse_complement", "kmers", "encode_all", "from_handle"):
        assert f"{name}(" in text
    assert "_set_options" not in text and "_start" not in text
    runner = doctest.DocTestRunner()
    for test in doctest.DocTestFinder().find(ab.Alphabet, globs={"Alphabet": ab.Alphabet}):
        runner.run(test)
    assert runner.tries >= 5 and runner.failures == 0
