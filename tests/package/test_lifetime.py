"""Every wrapper holds exactly one registry entry, from adoption until collection."""

import gc

import _alphabet as m
import alphabet as ab

N = 5_000  # per kind of wrapper; 20,000 wrappers in all


def test_exact_accounting_over_twenty_thousand_wrappers():
    standard = ab.dna()  # one object for the process, made on first use
    gc.collect()
    before = m.NumHandles()
    source = ab.sequence("int", [1, 2, 3])
    made = []
    made += [standard.extend("") for _ in range(N)]
    made += [ab.sequence("string", ["x"]) for _ in range(N)]
    made += [source[1:] for _ in range(N)]
    made += [ab.Alphabet("AC") for _ in range(N)]  # its symbol list is released at once
    assert m.NumHandles() == before + 1 + 4 * N
    _ = made[-1].extend("G").symbols  # temporaries: alphabet, symbol lists
    assert m.NumHandles() == before + 1 + 4 * N
    del made, source
    assert m.NumHandles() == before


def test_views_outlive_their_source_and_cycles_are_released():
    gc.collect()
    before = m.NumHandles()
    view = ab.sequence("int", [1, 2, 3])[1:]
    assert view == [2, 3] and m.NumHandles() == before + 1
    cycle = [ab.Alphabet("AC"), ab.sequence("bool")]
    cycle.append(cycle)
    del cycle
    gc.collect()
    assert m.NumHandles() == before + 1
    iterator = iter(ab.sequence("float64", [1.0, 2.0]))
    assert next(iterator) == 1.0 and next(iterator) == 2.0  # the generator keeps it alive
    del view, iterator
    assert m.NumHandles() == before


def test_adopting_an_existing_handle_takes_a_share_of_its_own():
    raw = m.alphabet_DNA()
    m.IncRef(raw)
    wrapped = ab.Alphabet.from_handle(raw)
    assert wrapped.handle == raw and wrapped.encode("T") == 3
    del wrapped
    assert m.alphabet_Alphabet_Encode(raw, "G") == 2  # the caller's share still holds it
    m.DecRef(raw)
    assert m.alphabet_Alphabet_Encode(raw, "G") == 0  # neutral: the entry is gone


def test_shutdown_with_live_wrappers_is_quiet(fresh):
    proc = fresh(
        """
        import alphabet as ab
        kept = [ab.dna(), ab.sequence("int", [1]), ab.sequence("byte", b"ab")[1:]]
        cycle = [ab.Alphabet("AC")]
        cycle.append(cycle)
        iterator = iter(ab.sequence("string", ["a", "b"]))
        next(iterator)
        print("ok")
        """
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "ok\n", "")
