"""The native module's objects that own registry entries: made and adopted in one step."""

import gc
import signal

import pytest

import _alphabet as m
from alphabet import _native as n


class Owner(n.Held):
    __slots__ = ("extra",)


def test_held_is_made_only_by_the_package():
    with pytest.raises(TypeError):
        n.Held()
    with pytest.raises(TypeError):
        Owner()


def test_each_object_owns_exactly_one_entry_for_its_lifetime():
    gc.collect()
    before = m.NumHandles()
    made = [n.new_alphabet(Owner, "ACGT")[0] for _ in range(100)]
    made += [n.standard_alphabet(Owner, "protein") for _ in range(100)]
    made += [n.extend_alphabet(made[0], ["N"])[0] for _ in range(100)]
    assert m.NumHandles() == before + 300
    assert all(type(owner) is Owner and owner.handle > 0 for owner in made)
    del made
    assert m.NumHandles() == before


def test_adopt_takes_a_share_of_its_own():
    raw = m.alphabet_DNA()
    m.IncRef(raw)
    owner = n.adopt(Owner, raw)
    assert owner.handle == raw
    del owner
    assert m.alphabet_Alphabet_Encode(raw, "G") == 2  # the caller's share holds it
    m.DecRef(raw)
    assert m.alphabet_Alphabet_Encode(raw, "G") == 0


@pytest.mark.parametrize(
    "symbols, error, position",
    [
        (["A", 3], TypeError, None),
        (["A", "B\0"], ValueError, 1),
        ("AB\ud800", ValueError, 2),
        (iter(["A", "C", None]), TypeError, None),
    ],
)
def test_refused_symbols_leave_nothing_registered(symbols, error, position):
    before = m.NumHandles()
    with pytest.raises(error) as info:
        n.new_alphabet(Owner, symbols)
    if position is not None:
        assert info.value.position == position
    assert m.NumHandles() == before


def test_an_interrupt_inside_construction_leaves_nothing_registered():
    # The signal arrives while the symbols are read, deterministically: the
    # iterable raises it from inside the native loop.
    before = m.NumHandles()

    def symbols():
        yield "A"
        signal.raise_signal(signal.SIGINT)
        yield "C"

    with pytest.raises(KeyboardInterrupt):
        n.new_alphabet(Owner, symbols())
    assert m.NumHandles() == before


def test_symbols_and_standard_alphabets_round_trip():
    owner, count = n.new_alphabet(Owner, ["AAA", "", "é", "AAA"])
    assert count == 4 and n.alphabet_symbols(owner) == ("AAA", "", "é", "AAA")
    grown, added = n.extend_alphabet(owner, "XY")
    assert added == 2 and n.alphabet_symbols(grown)[-2:] == ("X", "Y")
    assert n.alphabet_symbols(n.standard_alphabet(Owner, "rna")) == tuple("ACGU")
    with pytest.raises(ValueError):
        n.standard_alphabet(Owner, "dnaa")
