"""The Alphabet class, the standard alphabets and bulk encoding through the package."""

import array
import copy
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import alphabet as ab


def test_error_is_both_value_and_runtime_error_naming_the_symbol_in_repr_form():
    with pytest.raises(ValueError) as info:
        ab.dna().encode("X")
    assert isinstance(info.value, RuntimeError)
    assert type(info.value) is ab.AlphabetError
    assert str(info.value) == "Symbol 'X' not in alphabet"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: a.encode("g"), "Symbol 'g' not in alphabet"),
        (lambda a: a.encode(""), "Symbol '' not in alphabet"),
        (lambda a: a.encode("GA"), "Symbol 'GA' not in alphabet"),
        (lambda a: a.encode("A\0"), "Symbol 'A\\x00' not in alphabet"),
        (lambda a: a.encode("\r"), "Symbol '\\r' not in alphabet"),
        (lambda a: a.decode(4), "Code 4 not in alphabet"),
        (lambda a: a.decode(-1), "Code -1 not in alphabet"),
        (lambda a: a.decode(2**70), f"Code {2**70} not in alphabet"),
    ],
)
def test_single_item_failures(call, message):
    with pytest.raises(ab.AlphabetError) as info:
        call(ab.Alphabet("ACGT"))
    assert str(info.value) == message


@pytest.mark.parametrize("bad", [2, b"A", None])
def test_encode_takes_text_only(bad):
    # The integer 2 is not the text "2": encoding is by text only.
    with pytest.raises(TypeError):
        ab.Alphabet("ACGT").encode(bad)


def test_repeated_and_multi_character_symbols():
    a = ab.Alphabet(["AAA", "C", "AAA", ""])
    assert [a.encode(s) for s in ("AAA", "C", "")] == [2, 1, 3]
    assert [a.decode(c) for c in range(4)] == ["AAA", "C", "AAA", ""]
    assert a.symbols == ("AAA", "C", "AAA", "")
    with pytest.raises(ab.AlphabetError):
        a.encode("A")
    digits = ab.Alphabet(["1", "0"])
    assert digits.encode("0") == 1 and digits.decode(0) == "1"


def test_extend_leaves_the_receiver_unchanged():
    dna = ab.Alphabet("ACGT")
    more = dna.extend(["N", "A"])
    assert more.symbols == tuple("ACGTNA") and dna.symbols == tuple("ACGT")
    assert more.encode("A") == 5 and more.decode(0) == "A"
    with pytest.raises(ab.AlphabetError):
        dna.encode("N")


def test_container_protocol_equality_and_repr():
    a = ab.Alphabet(iter("ACGT"))
    assert len(a) == 4 and list(a) == list("ACGT")
    assert "G" in a and "g" not in a and 2 not in a
    assert a == ab.Alphabet(["A", "C", "G", "T"]) and a != ab.Alphabet("ACGU")
    assert hash(a) == hash(ab.Alphabet("ACGT"))
    assert repr(a) == "Alphabet('ACGT')"
    multi = ab.Alphabet(["AAA", "C"])
    assert repr(multi) == "Alphabet(['AAA', 'C'])"
    for each in (a, multi, ab.Alphabet([])):
        assert eval(repr(each), {"Alphabet": ab.Alphabet}) == each
        assert pickle.loads(pickle.dumps(each)) == each
        assert copy.deepcopy(each) == each


@pytest.mark.parametrize("bad", [["A", 1], ["A\0"], ["\ud800"]])
def test_symbols_that_cannot_be_held_are_refused(bad):
    with pytest.raises((TypeError, ab.AlphabetError)):
        ab.Alphabet(bad)


@pytest.mark.parametrize(
    "get, put", [(ab.dna, ab.set_dna), (ab.rna, ab.set_rna), (ab.protein, ab.set_protein)]
)
def test_setting_and_clearing_a_standard_alphabet(standard, get, put):
    before = get()
    replacement = ab.Alphabet("XYZ")
    put(replacement)
    del replacement  # the process-wide reference keeps the alphabet alive
    assert get() == ab.Alphabet("XYZ")
    assert before.symbols != ("X", "Y", "Z")
    put(None)
    assert get() is None
    with pytest.raises(TypeError):
        put("ACGT")


def test_encode_all_and_decode_of_the_byte_shaped_alphabets():
    dna = ab.dna()
    assert dna.encode_all("GATTACA") == bytes([2, 0, 3, 3, 0, 1, 0])
    assert dna.encode_all(["G", "A"]) == b"\x02\x00"
    assert dna.decode_all(b"\x02\x00\x03") == ["G", "A", "T"]
    assert dna.decode_str(bytearray([2, 0])) == "GA"
    assert dna.decode_str(memoryview(b"\x03")) == "T"
    assert dna.decode_str(iter([3, True])) == "TC"


@pytest.mark.parametrize(
    "call, position, message",
    [
        (lambda a: a.encode_all("GATXACA"), 3, "Symbol 'X' not in alphabet at position 3"),
        (lambda a: a.encode_all("GA\rT"), 2, "Symbol '\\r' not in alphabet at position 2"),
        (lambda a: a.encode_all(b"GAT\xff"), 3, "Symbol '\xff' not in alphabet at position 3"),
        # an unknown byte-range symbol before an unknown wide one is reported first
        (lambda a: a.encode_all("GAxT\u4e00"), 2, "Symbol 'x' not in alphabet at position 2"),
        (lambda a: a.encode_all("GAT\u4e00x"), 3, "Symbol '\u4e00' not in alphabet at position 3"),
        (lambda a: a.encode_all(["G", "N"]), 1, "Symbol 'N' not in alphabet at position 1"),
        (lambda a: a.decode_all([0, 4]), 1, "Code 4 not in alphabet at position 1"),
        (lambda a: a.decode_all([0, 1, -1]), 2, "Code -1 not in alphabet at position 2"),
        (lambda a: a.decode_str(b"\x00\x09"), 1, "Code 9 not in alphabet at position 1"),
    ],
)
def test_bulk_failures_name_the_item_and_its_position(call, position, message):
    with pytest.raises(ab.AlphabetError) as info:
        call(ab.dna())
    assert (info.value.position, str(info.value)) == (position, message)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda a: a.encode_all(memoryview(b"GATC")[::2]), TypeError),
        (lambda a: a.decode_all(array.array("d", [1.0])), TypeError),
        (lambda a: a.encode_all(["G", 2]), TypeError),
        (lambda a: a.decode_all(["2"]), TypeError),
    ],
)
def test_bulk_argument_errors(call, error):
    with pytest.raises(error):
        call(ab.dna())


@pytest.mark.parametrize("size", [256, 257])
@pytest.mark.parametrize("symbol", [lambda i: chr(1 + i), lambda i: chr(0x4E00 + i), "s{}".format])
def test_codes_come_as_bytes_up_to_256_symbols(size, symbol):
    a = ab.Alphabet(symbol(i) for i in range(size))
    codes = a.encode_all([symbol(size - 1), symbol(0)])
    assert list(codes) == [size - 1, 0]
    assert isinstance(codes, bytes) == (size == 256)
    assert a.decode_all(codes) == [symbol(size - 1), symbol(0)]


WIDE = [chr(0x4E00 + i) for i in range(300)]  # one-character, more than 256 codes

alphabets = st.one_of(
    st.lists(st.sampled_from("ACGTNacgt\xe9-*"), max_size=8),  # byte tables
    st.lists(st.sampled_from("AC\u03b1\u03b2\U0001f600"), max_size=6),  # str.translate
    st.lists(st.text(max_size=3).filter(lambda s: "\0" not in s), max_size=6),  # general
    st.just(WIDE),
)


def library_encode(alphabet, items):
    """Codes of `items` by one library call each, or the first failure's position."""
    for position, item in enumerate(items):
        try:
            yield alphabet.encode(item)
        except ab.AlphabetError:
            yield ("fails at", position)
            return


@settings(max_examples=150, deadline=None)
@given(alphabets, st.data())
def test_bulk_calls_agree_with_the_library_one_item_at_a_time(symbols, data):
    a = ab.Alphabet(symbols)
    pool = sorted(set(symbols) | {"A", "x", "\u4e00"})
    one_char = all(len(s) == 1 for s in symbols)
    items = data.draw(st.lists(st.sampled_from(pool), max_size=12))
    text = "".join(items)
    if one_char:
        items = list(text)
    expected = list(library_encode(a, items))
    for given_items in ([text] if one_char else []) + [items]:
        if expected and isinstance(expected[-1], tuple):
            with pytest.raises(ab.AlphabetError) as info:
                a.encode_all(given_items)
            assert info.value.position == expected[-1][1]
        else:
            codes = a.encode_all(given_items)
            assert list(codes) == expected
            assert isinstance(codes, bytes) == (len(symbols) <= 256)

    codes = data.draw(st.lists(st.integers(-2, len(symbols) + 1), max_size=12))
    bad = [p for p, c in enumerate(codes) if not 0 <= c < len(symbols)]
    if bad:
        with pytest.raises(ab.AlphabetError) as info:
            a.decode_all(codes)
        assert info.value.position == bad[0]
    else:
        assert a.decode_all(codes) == [a.decode(c) for c in codes]
        if one_char:
            assert a.decode_str(codes) == "".join(a.decode(c) for c in codes)
