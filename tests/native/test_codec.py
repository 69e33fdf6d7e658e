"""The native codec against the library's one-symbol calls, at every kernel path."""

import array
import functools
import random
import sys

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import _alphabet as m
import alphabet as ab
from alphabet import _native as n

PATHS = n.kernel_paths()
DNA = tuple("ACGT")


def library_code(alphabet, symbol):
    """The library's code for one symbol, None when it refuses it."""
    try:
        return m.alphabet_Alphabet_Encode(alphabet.handle, symbol)
    except (RuntimeError, ValueError):  # unknown, or not representable (NUL, surrogate)
        return None


def library_symbol(alphabet, code):
    try:
        return m.alphabet_Alphabet_Decode(alphabet.handle, str(code))
    except RuntimeError:
        return None


def expect_unknown(encode, symbols, symbol, position):
    with pytest.raises(ab.AlphabetError) as info:
        encode(symbols)
    assert info.value.position == position
    assert str(info.value) == f"Symbol {symbol!r} not in alphabet at position {position}"


held_char = st.characters(exclude_categories=["Cs"], exclude_characters="\0")
alphabets = st.one_of(
    st.lists(st.sampled_from("ACGTNacgt\xe9-*\r"), max_size=10),  # byte tables
    st.lists(held_char, max_size=8),  # one character, any code point
    st.lists(st.text(held_char, max_size=3), max_size=8),  # any length
    st.integers(250, 300).map(lambda size: [chr(0x100 + i) for i in range(size)]),
    st.integers(250, 300).map(lambda size: [f"s{i}" for i in range(size)]),
)


@settings(max_examples=200, deadline=None)
@given(alphabets, st.data())
def test_encoding_agrees_with_the_library_on_every_path(symbols, data):
    library = ab.Alphabet(symbols)
    codec = n.Codec(tuple(symbols))
    assert (codec.size, codec.one_char) == (len(symbols), all(len(s) == 1 for s in symbols))
    pool = sorted(set(symbols) | {"A", "x", "\u4e00", "AC", "", "\0"})
    items = data.draw(st.lists(st.sampled_from(pool), max_size=40))
    if codec.one_char:
        items = list("".join(items))
    expected = [library_code(library, item) for item in items]
    first_unknown = next((i for i, code in enumerate(expected) if code is None), None)
    for item, code in zip(items, expected, strict=True):
        if code is None:
            with pytest.raises(ab.AlphabetError, match="^Symbol .* not in alphabet$"):
                codec.encode_one(item)
        else:
            assert codec.encode_one(item) == code

    for path in PATHS:
        n.use_kernel_path(path)
        for make in symbol_inputs(items, codec.one_char):
            if first_unknown is not None:
                expect_unknown(codec.encode, make(), items[first_unknown], first_unknown)
                continue
            codes = codec.encode(make())
            assert list(codes) == expected
            if len(symbols) <= 256:
                assert type(codes) is bytes
            else:
                assert type(codes) is array.array and codes.typecode == "H"
    n.use_kernel_path(PATHS[-1])


def symbol_inputs(items, one_char):
    """Makers of every form of input that spells `items`."""
    inputs = [lambda: items, lambda: tuple(items), lambda: iter(items)]
    if one_char:
        text = "".join(items)
        inputs.append(lambda: text)
        if all(ord(c) < 256 for c in text):
            data = text.encode("latin-1")
            inputs += [lambda: data, lambda: bytearray(data), lambda: memoryview(data)]
    return inputs


@settings(max_examples=150, deadline=None)
@given(alphabets, st.data())
def test_decoding_agrees_with_the_library_on_every_path(symbols, data):
    library = ab.Alphabet(symbols)
    codec = n.Codec(tuple(symbols))
    codes = data.draw(st.lists(st.integers(-2, len(symbols) + 2), max_size=40))
    expected = [library_symbol(library, code) for code in codes]
    bad = next((i for i, symbol in enumerate(expected) if symbol is None), None)
    inputs = [lambda: codes, lambda: iter(codes), lambda: array.array("q", codes),
              lambda: array.array("i", codes)]  # fmt: skip
    if all(0 <= c < 256 for c in codes):
        inputs += [lambda: bytes(codes), lambda: bytearray(codes),
                   lambda: memoryview(bytes(codes)), lambda: array.array("B", codes)]  # fmt: skip
    if all(-128 <= c < 128 for c in codes):
        inputs.append(lambda: array.array("b", codes))
    if all(c >= 0 for c in codes):
        inputs += [functools.partial(array.array, t, codes) for t in "HLQ"]
    decoders = [(codec.decode_list, expected)]
    if codec.one_char and bad is None:
        decoders.append((codec.decode_str, "".join(expected)))
    elif codec.one_char:
        decoders.append((codec.decode_str, None))
    for path in PATHS:
        n.use_kernel_path(path)
        for make in inputs:
            for decode, result in decoders:
                if bad is None:
                    assert decode(make()) == result
                    continue
                with pytest.raises(ab.AlphabetError) as info:
                    decode(make())
                assert info.value.position == bad
                assert str(info.value) == f"Code {codes[bad]} not in alphabet at position {bad}"
    n.use_kernel_path(PATHS[-1])


@pytest.mark.parametrize("length", range(0, 80))
def test_unaligned_starts_every_tail_length_and_every_position(path, length):
    codec = n.Codec(DNA)
    text = ("GATTACAC" * 11)[:length]
    codes = bytes("ACGT".index(c) for c in text)
    for offset in range(8):
        assert codec.encode(memoryview(b"-" * offset + text.encode())[offset:]) == codes
        assert codec.decode_str(memoryview(b"\x09" * offset + codes)[offset:]) == text
    # An unknown symbol or code at each position: first, inside a block, in a tail, last.
    for position in range(length):
        broken = text[:position] + "N" + text[position + 1 :]
        expect_unknown(codec.encode, broken, "N", position)
        expect_unknown(codec.encode, memoryview(b"-" + broken.encode())[1:], "N", position)
        bad_codes = codes[:position] + b"\x04" + codes[position + 1 :]
        message = f"^Code 4 not in alphabet at position {position}$"
        with pytest.raises(ab.AlphabetError, match=message):
            codec.decode_str(bad_codes)


def model_code(symbols, spellings, unknown, ignore_case, item):
    """What the options say one input symbol encodes to; None when it has no code."""
    exact = {symbol: code for code, symbol in enumerate(symbols)}
    if item in exact:
        return exact[item]
    if item in spellings:
        return spellings[item]
    if ignore_case:
        # The codes of every symbol and spelling of that lowercase form.
        folded = {code for symbol, code in exact.items() if symbol.lower() == item.lower()}
        folded |= {
            exact.get(spelling, code)
            for spelling, code in spellings.items()
            if spelling.lower() == item.lower()
        }
        if len(folded) == 1:
            return folded.pop()
    return unknown


# Characters whose cases are tricky: one-way, titlecase, several-to-one, beyond U+00FF.
CASED = "aAbBßẞkKKǅǄǆσΣςİiıIµΜÿŸ"


@settings(max_examples=250, deadline=None)
@given(
    st.one_of(
        st.lists(st.sampled_from(CASED), min_size=1, max_size=8),
        st.lists(st.text(st.sampled_from(CASED), min_size=1, max_size=3), min_size=1, max_size=6),
    ),
    st.data(),
)
def test_options_follow_their_rules_on_every_path(symbols, data):
    size = len(symbols)
    spellings = data.draw(
        st.dictionaries(
            st.text(st.sampled_from(CASED + "xX"), max_size=2), st.integers(0, size - 1), max_size=4
        )
    )
    unknown = data.draw(st.none() | st.integers(0, size - 1))
    ignore_case = data.draw(st.booleans())
    codec = n.Codec(tuple(symbols), spellings=spellings, unknown=unknown, ignore_case=ignore_case)
    items = data.draw(st.lists(st.text(st.sampled_from(CASED + "xX"), max_size=2), max_size=12))
    if codec.one_char:
        items = list("".join(items))
    expected = [model_code(symbols, spellings, unknown, ignore_case, item) for item in items]
    for item, code in zip(items, expected, strict=True):
        if code is None:
            with pytest.raises(ab.AlphabetError):
                codec.encode_one(item)
        else:
            assert codec.encode_one(item) == code, item
    for path in PATHS:
        n.use_kernel_path(path)
        for make in symbol_inputs(items, codec.one_char):
            if None in expected:
                position = expected.index(None)
                expect_unknown(codec.encode, make(), items[position], position)
            else:
                assert list(codec.encode(make())) == expected
    n.use_kernel_path(PATHS[-1])


@pytest.mark.parametrize(
    "symbols, options, given, expected",
    [
        # Lowercase DNA with ignore_case is the uppercase table.
        (DNA, {"ignore_case": True}, "gattaca", b"\x02\x00\x03\x03\x00\x01\x00"),
        # A symbol wins over a spelling of the same text.
        (DNA, {"spellings": {"A": 3, "U": 3}}, "AU", b"\x00\x03"),
        # Two symbols differing only in case: the input in a third case is unknown.
        (
            ("Aa", "aA", "?"),
            {"ignore_case": True, "unknown": 2},
            ["aa", "AA", "Aa"],
            b"\x02\x02\x00",
        ),
        (("k", "K", "?"), {"ignore_case": True, "unknown": 2}, "kK\u212a", b"\x00\x01\x02"),
        (("\u01c4", "\u01c5", "?"), {"ignore_case": True, "unknown": 2}, "\u01c6", b"\x02"),
        # One symbol of that lowercase form: found from any case, also through
        # forms beyond U+00FF and forms that only lowercase to it.
        (("k", "?"), {"ignore_case": True}, "kK\u212a", b"\x00\x00\x00"),
        (("\u212a", "?"), {"ignore_case": True}, "kK\u212a", b"\x00\x00\x00"),
        (("\xff", "\xdf", "?"), {"ignore_case": True}, "\u0178\u1e9e", b"\x00\x01"),
        (("\u03c3", "?"), {"ignore_case": True, "unknown": 1}, "\u03a3\u03c2", b"\x00\x01"),
        (("\xb5", "?"), {"ignore_case": True, "unknown": 1}, "\u039c\u03bc", b"\x01\x01"),
        (
            ("\u0130", "?"),
            {"ignore_case": True, "unknown": 1},
            ["i\u0307", "i", "I"],
            b"\x00\x01\x01",
        ),
        # Spellings fold by the same rule as symbols: a form that a symbol and a
        # spelling of another code share belongs to neither (then to unknown).
        (DNA, {"ignore_case": True, "spellings": {"U": 3}}, "uU", b"\x03\x03"),
        (("Ab", "C"), {"ignore_case": True, "spellings": {"aB": 1}}, ["Ab", "aB"], b"\x00\x01"),
        (
            ("Ab", "C", "?"),
            {"ignore_case": True, "unknown": 2, "spellings": {"aB": 1}},
            ["ab", "AB", "aB"],
            b"\x02\x02\x01",
        ),
        (("Ab", "C"), {"ignore_case": True, "spellings": {"ab": 0}}, ["AB", "aB"], b"\x00\x00"),
        (
            ("x", "y", "?"),
            {"ignore_case": True, "unknown": 2, "spellings": {"Q": 0, "q": 1}},
            "Qqx",
            b"\x00\x01\x00",
        ),
        (
            ("x", "y", "?"),
            {"ignore_case": True, "unknown": 2, "spellings": {"Ab": 0, "aB": 1}},
            ["ab", "Ab"],
            b"\x02\x00",
        ),
        # A spelling is never split out of a text, but names its code as an item.
        (DNA, {"spellings": {"Ade": 0}}, ["Ade", "T"], b"\x00\x03"),
        # unknown applies beyond U+00FF too.
        (DNA, {"unknown": 2}, "A\u4e00\U0001f600T", b"\x00\x02\x02\x03"),
        # The last occurrence of a symbol wins, also under ignore_case.
        (("a", "C", "A"), {"ignore_case": True}, "aAc", b"\x00\x02\x01"),
    ],
)
def test_option_examples(symbols, options, given, expected):
    codec = n.Codec(symbols, **options)
    assert codec.encode(given) == expected
    assert codec.encode(list(given)) == expected
    assert bytes(codec.encode_one(item) for item in given) == expected
    assert model_code(symbols, options.get("spellings", {}), options.get("unknown"),
                      options.get("ignore_case", False), given[0]) == expected[0]  # fmt: skip


@pytest.mark.parametrize(
    "options, error",
    [
        ({"unknown": 4}, ValueError),
        ({"unknown": -1}, ValueError),
        ({"unknown": "A"}, TypeError),
        ({"spellings": {"U": 4}}, ValueError),
        ({"spellings": {3: 0}}, TypeError),
        ({"spellings": [("U", 3)]}, TypeError),
    ],
)
def test_bad_options(options, error):
    with pytest.raises(error):
        n.Codec(DNA, **options)


@pytest.mark.parametrize(
    "symbols, error", [("ACGT", TypeError), (["A", 3], TypeError), (5, TypeError)]
)
def test_bad_symbols(symbols, error):
    with pytest.raises(error):
        n.Codec(symbols)


@pytest.mark.parametrize(
    "size, kind",
    [(256, bytes), (257, "H"), (65536, "H"), (65537, "I")],
)
def test_codes_come_in_the_narrowest_type(size, kind):
    symbols = tuple(chr(0x100 + i) if i < 0xD700 else chr(0x10000 + i) for i in range(size))
    codec = n.Codec(symbols)
    codes = codec.encode(symbols[-1] + symbols[0])
    assert list(codes) == [size - 1, 0]
    assert type(codes) is bytes if kind is bytes else codes.typecode == kind
    assert list(codec.encode([symbols[-1]])) == [size - 1]
    assert codec.decode_list(codes) == [symbols[-1], symbols[0]]
    assert codec.decode_str(codes) == symbols[-1] + symbols[0]


def test_latin1_text_of_a_large_alphabet_takes_the_wide_table():
    symbols = tuple(chr(i) for i in range(1, 300))
    codec = n.Codec(symbols)
    assert list(codec.encode("\x01\xff")) == [0, 254]
    assert list(codec.encode(b"\x01\xff")) == [0, 254]
    expect_unknown(codec.encode, b"\x01\x00", "\0", 1)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c: c.encode(["G", 2]), TypeError),
        (lambda c: c.encode(array.array("H", [65])), TypeError),
        (lambda c: c.encode(memoryview(b"GATTACA")[::2]), TypeError),
        (lambda c: c.encode(5), TypeError),
        (lambda c: c.encode_one(b"G"), TypeError),
        (lambda c: c.decode_str("GAT"), TypeError),
        (lambda c: c.decode_list(["2"]), TypeError),
        (lambda c: c.decode_list(array.array("d", [1.0])), TypeError),
        (lambda c: c.decode_list(memoryview(b"\x00\x01\x02\x03")[::2]), TypeError),
    ],
)
def test_argument_errors(call, error):
    with pytest.raises(error):
        call(n.Codec(DNA))


def test_item_errors_name_the_type_and_position():
    with pytest.raises(TypeError, match=r"int \(position 1\)"):
        n.Codec(DNA).encode(["G", 2])
    with pytest.raises(TypeError, match=r"str \(position 2\)"):
        n.Codec(DNA).decode_list([0, 1, "2"])


@pytest.mark.parametrize(
    "code",
    [4, -1, 2**63, 2**64, -(2**64), 10**5000, -(10**5000) + 1],
    ids=["4", "-1", "2**63", "2**64", "-2**64", "10**5000", "1-10**5000"],
)
def test_bad_codes_are_named_in_decimal_whatever_their_size(code):
    with pytest.raises(ab.AlphabetError) as info:
        n.Codec(DNA).decode_list([0, 1, code, 9])
    assert info.value.position == 2
    message = str(info.value)
    assert message.startswith("Code ") and message.endswith(" not in alphabet at position 2")
    digits = message[len("Code ") : -len(" not in alphabet at position 2")]
    limit = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        assert int(digits) == code
    finally:
        sys.set_int_max_str_digits(limit)


@pytest.mark.parametrize("typecode", "bBhHiIlLqQ")
def test_every_integer_item_type_decodes_and_names_bad_codes(typecode):
    codec = n.Codec(DNA)
    assert codec.decode_str(array.array(typecode, [2, 0, 3])) == "GAT"
    signed = typecode.islower()
    bad = -1 if signed else 4
    with pytest.raises(ab.AlphabetError, match=f"^Code {bad} not in alphabet at position 1$"):
        codec.decode_str(array.array(typecode, [2, bad, 3]))


def test_numpy_arrays_of_any_integer_dtype_and_byte_order():
    np = pytest.importorskip("numpy")
    codec = n.Codec(DNA)
    for dtype in ["u1", "i1", "<u2", ">u2", ">i4", "<u8", ">i8"]:
        codes = np.array([2, 0, 3, 3], dtype=dtype)
        assert codec.decode_str(codes) == "GATT", dtype
        assert codec.decode_list(codes[1:]) == ["A", "T", "T"]
    with pytest.raises(ab.AlphabetError, match="^Code 256 not in alphabet at position 1$"):
        codec.decode_str(np.array([0, 256], dtype=">u2"))
    with pytest.raises(TypeError, match=r"shape \(2, 2\)"):
        codec.decode_str(np.array([[0, 1], [2, 3]], dtype="u1"))
    with pytest.raises(TypeError):
        codec.decode_str(np.arange(4, dtype="u1")[::2])
    with pytest.raises(TypeError):
        codec.decode_str(np.zeros(4, dtype="f4"))
    assert codec.encode(np.frombuffer(b"GATT", dtype="u1")) == b"\x02\x00\x03\x03"
    assert codec.encode(np.frombuffer(b"GATT", dtype="i1")) == b"\x02\x00\x03\x03"


def test_decoded_text_is_stored_as_python_would_store_it():
    # A Latin-1 alphabet decoding only ASCII symbols must give an ASCII str:
    # one stored wider compares unequal to the same text.
    codec = n.Codec(("A", "é", "C"))
    text = codec.decode_str(b"\x00\x02" * 40_000)
    assert text == "AC" * 40_000 and text.isascii()
    assert codec.decode_str(b"\x01") == "é"
    wide = n.Codec(("A", "\u4e00"))
    assert wide.decode_str([0, 0]) == "AA" and wide.decode_str([0, 0]).isascii()


def test_symbols_given_as_str_subclasses_decode_as_plain_str():
    class Symbol(str):
        pass

    codec = n.Codec((Symbol("A"), Symbol("CC")))
    decoded = codec.decode_list([1, 0])
    assert decoded == ["CC", "A"] and all(type(s) is str for s in decoded)
    assert codec.encode([Symbol("CC")]) == b"\x01"


def test_decoding_holds_exactly_one_reference_per_symbol_given_out():
    symbol = "".join(["C", "CC"])  # a str of this test's own
    codec = n.Codec(("AAA", symbol))
    before = sys.getrefcount(symbol)
    decoded = codec.decode_list(b"\x01" * 1000)
    during = sys.getrefcount(symbol)
    del decoded
    after = sys.getrefcount(symbol)
    assert (during, after) == (before + 1000, before)


def test_a_codec_owns_no_registry_entry():
    before = m.NumHandles()
    codecs = [n.Codec(DNA) for _ in range(10)]
    assert m.NumHandles() == before and codecs


@settings(max_examples=30, deadline=None)
@given(st.lists(st.text(held_char, min_size=9, max_size=30), min_size=1, max_size=40, unique=True))
def test_long_symbols_and_growing_lowercase_tables(symbols):
    # Symbols over 8 bytes are stored out of line; 40 lowercase forms make the
    # ignore_case table grow several times.
    assume(len({s.lower() for s in symbols}) == len(symbols))
    codec = n.Codec(tuple(symbols), ignore_case=True)
    assert list(codec.encode(symbols)) == list(range(len(symbols)))
    assert list(codec.encode([s.upper() for s in symbols if s.upper().lower() == s.lower()])) == [
        i for i, s in enumerate(symbols) if s.upper().lower() == s.lower()
    ]


@pytest.mark.parametrize("wide", ["\u03b1\u03b2", "\U0001f600\u03b1"], ids=["ucs2", "ucs4"])
@pytest.mark.parametrize("cluster", [1, 63, 64, 65, 130])
def test_text_beyond_latin1_hands_the_kernel_back_and_forth(path, wide, cluster):
    # The kernel stops at each character beyond U+00FF and the tables' own
    # loop codes a stretch from there: runs of such characters of every
    # length around that stretch, and unknown ones just before, at and after
    # its end.
    codec = n.Codec(tuple("ACGT" + wide))
    rng = random.Random(cluster)
    plain = "".join(rng.choices("ACGT", k=300))
    text = plain[:100] + "".join(rng.choices(wide, k=cluster)) + plain[100:]
    expected = bytes(("ACGT" + wide).index(c) for c in text)
    assert codec.encode(text) == expected
    for offset in (-1, 0, 63, 64, 65, cluster, cluster + 1, cluster + 100):
        position = 100 + offset
        for unknown in ("N", "\u4e00"):
            broken = text[:position] + unknown + text[position + 1 :]
            expect_unknown(codec.encode, broken, unknown, position)
    with_unknown = n.Codec(tuple("ACGT" + wide), unknown=0)
    assert with_unknown.encode(text + "\u4e00N") == expected + b"\x00\x00"


def test_latin1_text_of_a_large_alphabet_at_length(path):
    codec = n.Codec(tuple(chr(i) for i in range(1, 300)))
    text = bytes(random.Random(3).randrange(1, 256) for _ in range(1000))
    assert list(codec.encode(text)) == [b - 1 for b in text]
    assert list(codec.encode(text.decode("latin-1"))) == [b - 1 for b in text]
    for position in (0, 500, 999):
        broken = text[:position] + b"\0" + text[position + 1 :]
        expect_unknown(codec.encode, broken, "\0", position)


@pytest.mark.parametrize("typecode", "bhiqHIQ")
def test_wide_and_signed_codes_are_refused_at_every_position(path, typecode):
    codec = n.Codec(DNA)
    rng = random.Random(typecode)
    codes = [rng.randrange(4) for _ in range(80)]
    text = "".join(DNA[c] for c in codes)
    assert codec.decode_str(array.array(typecode, codes)) == text
    bad_codes = [-1, -128, 4] if typecode.islower() else [4, 255, 256]
    for position in range(len(codes)):
        bad = bad_codes[position % len(bad_codes)]
        broken = array.array(typecode, codes[:position] + [bad] + codes[position + 1 :])
        with pytest.raises(ab.AlphabetError, match=f"^Code {bad} not in alphabet at position "):
            codec.decode_str(broken)
