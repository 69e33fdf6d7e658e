"""The alphabet rows: results, errors, neutral answers, kinds and lifetimes."""

import shutil
import subprocess
import sys
import threading
import time

import pytest

import _alphabet as m
from helpers import KINDS, strings

PROTEIN = "ACDEFGHIKLMNPQRSTVWY"


def symbols_of(alphabet):
    seq = m.alphabet_Alphabet_Symbols(alphabet)
    return [m.Slice_string_elem(seq, i) for i in range(m.Slice_string_len(seq))]


def raises_runtime(call, message):
    with pytest.raises(RuntimeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is RuntimeError


@pytest.fixture
def standard():
    """Handles of the standard alphabets, restored after the test."""
    saved = {name: getattr(m, f"alphabet_{name}")() for name in ("DNA", "RNA", "Protein")}
    yield saved
    for name, handle in saved.items():
        getattr(m, f"alphabet_Set_{name}")(handle)


@pytest.mark.parametrize(
    "name, symbol, code",
    [
        ("DNA", "G", 2),
        ("DNA", "T", 3),
        ("RNA", "U", 3),
        ("Protein", "Y", 19),
        ("Protein", "A", 0),
        ("Protein", "K", 8),
    ],
)
def test_standard_alphabets_encode_and_decode(standard, name, symbol, code):
    handle = standard[name]
    assert m.alphabet_Alphabet_Encode(handle, symbol) == code
    assert m.alphabet_Alphabet_Decode(handle, str(code)) == symbol


def test_protein_holds_the_twenty_letters_in_order(standard):
    assert symbols_of(standard["Protein"]) == list(PROTEIN)
    assert symbols_of(standard["DNA"]) == list("ACGT")
    assert symbols_of(standard["RNA"]) == list("ACGU")


@pytest.mark.parametrize(
    "name, symbol",
    [
        ("DNA", "X"),
        ("DNA", "g"),
        ("DNA", "a"),
        ("RNA", "T"),
        ("Protein", "X"),
        ("Protein", "B"),
        ("DNA", ""),
        ("DNA", "2"),
        ("DNA", "AC"),
        ("DNA", "é"),
    ],
)
def test_unknown_symbols_raise_the_library_message(standard, name, symbol):
    raises_runtime(
        lambda: m.alphabet_Alphabet_Encode(standard[name], symbol),
        f"Symbol {symbol} not in alphabet",
    )


@pytest.mark.parametrize(
    "code, result",
    [
        ("0", "A"),
        ("3", "T"),
        ("-0", "A"),
        ("003", "T"),
        ("4", None),
        ("-1", None),
        ("x", None),
        ("", None),
        (" 1", None),
        ("+1", None),
        ("1.0", None),
        ("9223372036854775807", None),
        ("9223372036854775808", None),
        ("-9223372036854775808", None),
        ("0x1", None),
    ],
)
def test_decode_reads_decimal_integer_texts_as_codes(standard, code, result):
    if result is None:
        raises_runtime(
            lambda: m.alphabet_Alphabet_Decode(standard["DNA"], code),
            f"Code {code} not in alphabet",
        )
    else:
        assert m.alphabet_Alphabet_Decode(standard["DNA"], code) == result


@pytest.mark.parametrize("handle", [0, -1, -(2**63), 10**15])
def test_handles_that_name_nothing_give_neutral_results(handle):
    before = m.NumHandles()
    assert m.alphabet_Alphabet_Encode(handle, "A") == 0
    assert m.alphabet_Alphabet_Decode(handle, "0") == ""
    assert m.alphabet_Alphabet_Extend(handle, strings(["N"])) == -1
    assert m.alphabet_Alphabet_Symbols(handle) == -1
    assert m.alphabet_Error_Error(handle) == ""
    assert m.NumHandles() == before + 1  # only the sequence made above
    # The interpreter lock came back: ordinary work goes on on this thread.
    assert sum(range(10)) == 45


def test_released_handle_names_nothing():
    alphabet = m.alphabet_NewAlphabet(strings(["A"]))
    m.IncRef(alphabet)
    m.DecRef(alphabet)
    assert m.alphabet_Alphabet_Encode(alphabet, "A") == 0
    assert m.alphabet_Alphabet_Symbols(alphabet) == -1


def test_empty_alphabets():
    for empty in (
        m.alphabet_NewAlphabet(0),
        m.alphabet_NewAlphabet(strings([])),
        m.alphabet_Alphabet_CTor(),
    ):
        assert symbols_of(empty) == []
        raises_runtime(
            lambda empty=empty: m.alphabet_Alphabet_Encode(empty, "A"), "Symbol A not in alphabet"
        )
        raises_runtime(
            lambda empty=empty: m.alphabet_Alphabet_Decode(empty, "0"), "Code 0 not in alphabet"
        )


def test_empty_error_has_empty_message():
    assert m.alphabet_Error_Error(m.alphabet_Error_CTor()) == ""


def test_each_getter_call_registers_a_new_handle(standard):
    before = m.NumHandles()
    a, b = m.alphabet_DNA(), m.alphabet_DNA()
    assert a != b
    assert m.NumHandles() == before + 2
    assert symbols_of(a) == symbols_of(b) == list("ACGT")


def test_setters_replace_and_clear_references(standard):
    mine = m.alphabet_NewAlphabet(strings("ACGTN"))
    m.IncRef(mine)
    m.alphabet_Set_DNA(mine)
    m.DecRef(mine)  # the reference alone keeps it alive now
    assert symbols_of(m.alphabet_DNA()) == list("ACGTN")
    assert symbols_of(standard["DNA"]) == list("ACGT")  # earlier handle unchanged
    m.alphabet_Set_DNA(0)
    assert m.alphabet_DNA() == -1
    m.alphabet_Set_DNA(standard["DNA"])
    assert symbols_of(m.alphabet_DNA()) == list("ACGT")


def test_extend_keeps_the_receiver_and_rebuilds_codes(standard):
    dna = standard["DNA"]
    extended = m.alphabet_Alphabet_Extend(dna, strings(["N", "A"]))
    assert symbols_of(extended) == list("ACGTNA")
    assert m.alphabet_Alphabet_Encode(extended, "N") == 4
    assert m.alphabet_Alphabet_Encode(extended, "A") == 5  # last occurrence wins
    assert m.alphabet_Alphabet_Decode(extended, "0") == "A"
    raises_runtime(lambda: m.alphabet_Alphabet_Encode(dna, "N"), "Symbol N not in alphabet")
    same = m.alphabet_Alphabet_Extend(dna, 0)
    assert same != dna and symbols_of(same) == list("ACGT")


def test_sequences_and_alphabets_never_share_changes():
    source = strings(["x", "y"])
    alphabet = m.alphabet_NewAlphabet(source)
    m.Slice_string_set(source, 0, "changed")
    m.Slice_string_append(source, "z")
    assert symbols_of(alphabet) == ["x", "y"]
    listed = m.alphabet_Alphabet_Symbols(alphabet)
    m.Slice_string_set(listed, 1, "changed")
    m.Slice_string_append(listed, "w")
    assert symbols_of(alphabet) == ["x", "y"]
    assert m.alphabet_Alphabet_Encode(alphabet, "y") == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda seq, err: m.alphabet_Alphabet_Encode(seq, "A"),
        lambda seq, err: m.alphabet_Alphabet_Decode(err, "0"),
        lambda seq, err: m.alphabet_Alphabet_Extend(err, 0),
        lambda seq, err: m.alphabet_Alphabet_Symbols(seq),
        lambda seq, err: m.alphabet_Error_Error(m.alphabet_DNA()),
        lambda seq, err: m.alphabet_NewAlphabet(m.Slice_int_CTor()),
        lambda seq, err: m.alphabet_Alphabet_Extend(m.alphabet_DNA(), err),
        lambda seq, err: m.alphabet_Set_RNA(seq),
    ],
)
def test_handles_of_another_kind_raise_type_error(standard, call):
    seq, err = strings(["A"]), m.alphabet_Error_CTor()
    with pytest.raises(TypeError, match="does not name"):
        call(seq, err)
    assert symbols_of(m.alphabet_RNA()) == list("ACGU")  # setter kept its alphabet


def test_type_error_registers_nothing():
    seq = strings(["A"])
    before = m.NumHandles()
    for call in (
        lambda: m.alphabet_Alphabet_Extend(seq, seq),
        lambda: m.alphabet_Alphabet_Symbols(seq),
        lambda: m.alphabet_NewAlphabet(m.alphabet_Error_CTor()),
    ):
        with pytest.raises(TypeError):
            call()
    assert m.NumHandles() == before + 1  # the error made for the last call


def test_receiver_that_names_nothing_is_not_checked_against_symbols():
    assert m.alphabet_Alphabet_Extend(0, m.alphabet_Error_CTor()) == -1


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda: m.alphabet_Alphabet_Encode(1, 65), TypeError),
        (lambda: m.alphabet_Alphabet_Encode(1, "A\0"), ValueError),
        (lambda: m.alphabet_Set_DNA(2**70), OverflowError),
        (lambda: m.alphabet_DNA(1), TypeError),
        (lambda: m.alphabet_Alphabet_Decode(1, code=2), TypeError),
    ],
)
def test_parser_refuses_bad_arguments(call, exc):
    with pytest.raises(exc):
        call()


def test_keywords(standard):
    assert m.alphabet_Alphabet_Encode(_handle=standard["DNA"], symbol="C") == 1
    assert m.alphabet_Alphabet_Decode(_handle=standard["DNA"], code="1") == "C"
    assert m.alphabet_Alphabet_Symbols(_handle=standard["DNA"]) > 0
    assert m.alphabet_NewAlphabet(symbols=0) > 0


ALPHABET_ROWS = [
    ("alphabet_DNA", "alphabet_DNA()\n\n"),
    ("alphabet_Set_DNA", "alphabet_Set_DNA(val)\n\ntype: val: int64_t"),
    ("alphabet_Protein", "alphabet_Protein()\n\n"),
    ("alphabet_Set_Protein", "alphabet_Set_Protein(val)\n\ntype: val: int64_t"),
    ("alphabet_RNA", "alphabet_RNA()\n\n"),
    ("alphabet_Set_RNA", "alphabet_Set_RNA(val)\n\ntype: val: int64_t"),
    ("alphabet_Alphabet_CTor", "alphabet_Alphabet_CTor()\n\n"),
    (
        "alphabet_Alphabet_Encode",
        "alphabet_Alphabet_Encode(_handle, symbol)\n\ntype: _handle: int64_t\ntype: symbol: char *",
    ),
    (
        "alphabet_Alphabet_Decode",
        "alphabet_Alphabet_Decode(_handle, code)\n\ntype: _handle: int64_t\ntype: code: char *",
    ),
    (
        "alphabet_Alphabet_Extend",
        "alphabet_Alphabet_Extend(_handle, symbols)\n\ntype: _handle: int64_t\ntype: symbols: int64_t",
    ),
    ("alphabet_Alphabet_Symbols", "alphabet_Alphabet_Symbols(_handle)\n\ntype: _handle: int64_t"),
    ("alphabet_Error_CTor", "alphabet_Error_CTor()\n\n"),
    ("alphabet_Error_Error", "alphabet_Error_Error(_handle)\n\ntype: _handle: int64_t"),
    ("alphabet_NewAlphabet", "alphabet_NewAlphabet(symbols)\n\ntype: symbols: int64_t"),
]


def table_names():
    names = ["TovaInit", "DecRef", "IncRef", "NumHandles"]
    for kind in KINDS:
        names += [
            f"Slice_{kind}_{op}" for op in ("CTor", "len", "elem", "subslice", "set", "append")
        ]
        if kind == "byte":
            names += ["Slice_byte_from_bytes", "Slice_byte_to_bytes"]
    return names + [name for name, _ in ALPHABET_ROWS]


def test_module_has_exactly_the_122_methods_in_table_order():
    methods = [name for name, value in vars(m).items() if callable(value)]
    assert methods == table_names()
    assert len(methods) == 122


@pytest.mark.parametrize("name, doc", ALPHABET_ROWS)
def test_alphabet_docstrings(name, doc):
    assert getattr(m, name).__doc__ == doc


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_shared_object_exports_only_the_flat_functions():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", m.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = sorted(line.split()[-1] for line in out.splitlines())
    assert exported == sorted(table_names() + ["PyInit__alphabet"])


def big_symbols(n=1_000_000):
    return strings(f"s{i}" for i in range(n))


def longest_stall_during(call):
    """The longest time a busy Python thread went without running while
    `call` ran, and how long the call took."""
    longest = 0.0
    started = None
    stop = False

    def spin():
        nonlocal longest
        last = time.perf_counter()
        while not stop:
            now = time.perf_counter()
            if started is not None and now > started:
                longest = max(longest, now - last)
            last = now

    thread = threading.Thread(target=spin)
    thread.start()
    try:
        time.sleep(0.01)
        started = time.perf_counter()
        call()
        elapsed = time.perf_counter() - started
        time.sleep(0.01)  # lets the thread note a stall that lasted to the end
    finally:
        stop = True
        thread.join(timeout=60)
    assert not thread.is_alive()
    return longest, elapsed


@pytest.fixture(scope="module")
def huge_symbol():
    """A 128 MB symbol and an alphabet that holds it."""
    symbol = "s" * (128 << 20)
    return symbol, m.alphabet_NewAlphabet(strings(["A", symbol]))


@pytest.mark.parametrize("which", ["NewAlphabet", "Extend", "Symbols", "Encode", "Decode"])
def test_other_threads_run_during_long_calls(which, huge_symbol):
    seq = big_symbols()
    alphabet = m.alphabet_NewAlphabet(seq)
    symbol, holder = huge_symbol
    calls = {
        "NewAlphabet": lambda: m.alphabet_NewAlphabet(seq),
        "Extend": lambda: m.alphabet_Alphabet_Extend(alphabet, seq),
        # One call each: between repeated calls the lock changes hands anyway,
        # so only the stall within one call tells whether it was let go.
        "Symbols": lambda: m.alphabet_Alphabet_Symbols(alphabet),
        # The symbol is hashed and compared whole.
        "Encode": lambda: m.alphabet_Alphabet_Encode(holder, symbol),
        # A 32 MB code text of zeros, read as the integer 0.  (Decoding the
        # huge symbol would spend as long building its str, which needs the
        # lock, as copying it.)
        "Decode": lambda: m.alphabet_Alphabet_Decode(holder, "0" * (32 << 20)),
    }
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    # A call that kept the lock would stall the other thread for all of it,
    # every time; one that lets it go, only while it parses and builds its
    # result.  A busy machine may hold either thread off now and then, so one
    # clean run of three is enough.
    seen = []
    try:
        for _ in range(3):
            stall, elapsed = longest_stall_during(calls[which])
            assert elapsed > 0.01, "call too short to judge"
            seen.append((stall, elapsed))
            if stall < elapsed / 2:
                break
        else:
            pytest.fail(f"the other thread stalled for most of each call: {seen}")
    finally:
        sys.setswitchinterval(old)


def test_threads_calling_at_once_keep_exact_accounting():
    dna = m.alphabet_DNA()
    m.IncRef(dna)
    seq = strings("ACGT")
    start = m.NumHandles()
    errors = []

    def work(seed):
        try:
            for i in range(2000):
                assert m.alphabet_Alphabet_Encode(dna, "ACGT"[i % 4]) == i % 4
                assert m.alphabet_Alphabet_Decode(dna, str(i % 4)) == "ACGT"[i % 4]
                try:
                    m.alphabet_Alphabet_Encode(dna, "Z")
                except RuntimeError:
                    pass
                m.IncRef(dna)
                made = [
                    m.alphabet_Alphabet_Extend(dna, seq),
                    m.alphabet_Alphabet_Symbols(dna),
                    m.alphabet_NewAlphabet(seq),
                    m.alphabet_Error_CTor(),
                ]
                for handle in made:
                    m.IncRef(handle)
                for handle in made:
                    m.DecRef(handle)
                m.DecRef(dna)
        except Exception as exc:  # reported below; threads swallow failures
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "deadlocked"
    assert not errors
    assert m.NumHandles() == start
    assert m.alphabet_Alphabet_Encode(dna, "T") == 3
    m.DecRef(dna)
