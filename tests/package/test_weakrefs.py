"""Weak references to the package's objects: each type that takes them runs
their callbacks and clears them when its object goes, by reference count
or by the collector, so that none outlives what it refers to."""

import gc
import io
import weakref

import pytest

import alphabet as ab


def made():
    sequence = ab.sequence("int16", [1, 2, 3, 4])
    return {
        "Alphabet": lambda: ab.Alphabet("ACGT"),
        "Alphabet with options": lambda: ab.dna().with_options(ignore_case=True),
        "extended Alphabet": lambda: ab.dna().extend("N"),
        "Sequence": lambda: ab.sequence("float64", [1.0]),
        "ByteSequence": lambda: ab.sequence("byte", b"GAT"),
        "view": lambda: sequence[1:3],
        "text Sequence": lambda: ab.sequence("string", ["a"]),
        "Reader": lambda: ab.read(io.BytesIO(b">r\nGAT\n")),
        "Reader with an alphabet": lambda: ab.read(io.BytesIO(b">r\nGAT\n"), alphabet=ab.dna()),
        "Array": lambda: ab.dna().encode_batch(["GAT", "A"], pad="A")[0],
    }


@pytest.mark.parametrize("name", list(made()))
def test_callbacks_run_and_references_clear_when_the_object_goes(name):
    called = []
    obj = made()[name]()
    ref = weakref.ref(obj, called.append)
    assert ref() is obj
    del obj
    assert called == [ref] and ref() is None


@pytest.mark.parametrize("name", list(made()))
def test_objects_in_a_cycle_clear_their_references_when_collected(name):
    called = []
    obj = made()[name]()
    ref = weakref.ref(obj, called.append)
    holder = [obj]
    holder.append(holder)  # a cycle through the list keeps obj until a collection
    del obj, holder
    assert ref() is not None
    gc.collect()
    assert called == [ref] and ref() is None


def test_a_weak_value_dictionary_of_them_empties():
    objects = {name: make() for name, make in made().items()}
    table = weakref.WeakValueDictionary(objects)
    assert len(table) == len(objects)
    del objects
    gc.collect()
    assert len(table) == 0
