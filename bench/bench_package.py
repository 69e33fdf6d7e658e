"""What the alphabet package costs on top of the raw _alphabet module.

1. Per call: the package's operation against the module call that a caller
   juggling handles itself would make for the same result (goal: within
   1.5x).  The note gives the same operation on a Python method that does
   nothing: the interpreter's price for reaching Python code at all.
2. Bulk: encode_all / decode_str on a 10 MB DNA text against a Python loop
   over encode / decode (goal: at least 20x faster, a ratio of 0.05).
3. Bulk sequences: a million float64 values in and out against array.array
   (goal: within 1.25x), and a numpy int32 array in against
   array.array('i', a.tolist()) (goal: half its time; skipped without numpy).
4. Lifetimes: a million wrappers made and dropped leave NumHandles as it was.

    PYTHONPATH=build-bench:python .venv/bin/python bench/bench_package.py [--quick]
"""

from __future__ import annotations

import array
import gc
import random
import time
from collections.abc import Callable

import _alphabet as m
import alphabet
from common import Figure, best_interleaved, clocked, per_call, run_part


class Bare:
    """Python-level methods that do nothing: what the interpreter charges for
    reaching Python code through each kind of operation, before any work."""

    __slots__ = ()

    def encode(self, symbol: str) -> int:
        return 0

    def __getitem__(self, index: int) -> int:
        return 0

    def __setitem__(self, index: int, value: int) -> None:
        pass

    def __len__(self) -> int:
        return 0


def overhead_figures(number: int, rounds: int) -> list[Figure]:
    dna = alphabet.dna()
    assert dna is not None
    seq = alphabet.sequence("int", range(100))
    names: dict[str, object] = {
        "m": m, "dna": dna, "h": dna.handle, "seq": seq, "sh": seq.handle, "code": 2,
        "bare": Bare(),
    }  # fmt: skip
    rows = [
        # figure, the module call, the package's, the same operation on Bare
        ("Alphabet.encode", "m.alphabet_Alphabet_Encode(h, 'G')", "dna.encode('G')",
         "bare.encode('G')"),
        # The package takes an int code; the module wants its decimal text.
        ("Alphabet.decode", "m.alphabet_Alphabet_Decode(h, str(code))", "dna.decode(code)",
         "bare.encode(code)"),
        ("seq[i]", "m.Slice_int_elem(sh, 5)", "seq[5]", "bare[5]"),
        ("seq[-1]", "m.Slice_int_elem(sh, m.Slice_int_len(sh) - 1)", "seq[-1]", "bare[-1]"),
        ("seq[i] = v", "m.Slice_int_set(sh, 5, 7)", "seq[5] = 7", "bare[5] = 7"),
        ("len(seq)", "m.Slice_int_len(sh)", "len(seq)", "len(bare)"),
        ("seq.append(v)", "m.Slice_int_append(sh, 7)", "seq.append(7)", "bare.encode(7)"),
    ]  # fmt: skip
    figures = []
    for name, raw, wrapped, bare in rows:
        package, module, nothing = best_interleaved(
            rounds,
            per_call(wrapped, "", names, number),
            per_call(raw, "", names, number),
            per_call(bare, "", names, number),
        )
        figures.append(Figure(f"package {name}", package * 1e9, "ns", module * 1e9,
                              "the module call", limit=1.5,
                              note=f"bare Python method {nothing * 1e9:.0f} ns"))  # fmt: skip
    return figures


def bulk_figures(size: int, loop_rounds: int) -> list[Figure]:
    dna = alphabet.dna()
    assert dna is not None
    text = "".join(random.Random(7).choices("ACGT", k=size))
    codes = dna.encode_all(text)
    assert isinstance(codes, bytes)
    encode, decode = dna.encode, dna.decode
    assert codes == bytes(encode(symbol) for symbol in text[:1000]) + codes[1000:]
    assert dna.decode_str(codes) == text

    def encode_loop() -> object:
        return [encode(symbol) for symbol in text]

    def decode_loop() -> object:
        return "".join([decode(code) for code in codes])

    # The loops take seconds; the bulk calls milliseconds, so they get
    # several tries within each round.
    def best_of_five(work: Callable[[], object]) -> float:
        return min(clocked(work) for _ in range(5))

    figures = []
    for name, fast, loop, loop_name in (
        ("encode_all", lambda: dna.encode_all(text), encode_loop, "loop over encode"),
        ("decode_str", lambda: dna.decode_str(codes), decode_loop, "loop over decode"),
    ):
        bulk, looped = best_interleaved(
            loop_rounds, lambda fast=fast: best_of_five(fast), lambda loop=loop: clocked(loop)
        )
        figures.append(Figure(f"{name}, {size / 1e6:g} MB DNA", bulk * 1e3, "ms", looped * 1e3,
                              loop_name, limit=0.05,
                              note=f"{looped / bulk:.0f}x faster"))  # fmt: skip
    return figures


def bulk_sequence_figures(size: int, rounds: int) -> list[Figure]:
    rng = random.Random(7)
    floats = [rng.random() for _ in range(size)]
    seq, plain = alphabet.sequence("float64", floats), array.array("d", floats)
    assert list(seq) == plain.tolist() == floats
    label = f"{size / 1e6:g}M"
    rows: list[tuple[str, Callable[[], object], Callable[[], object], str, float]] = [
        (f"sequence('float64', list of {label})", lambda: alphabet.sequence("float64", floats),
         lambda: array.array("d", floats), "array.array('d', list)", 1.25),
        (f"list(seq), {label} float64", lambda: list(seq), plain.tolist, "array.tolist()", 1.25),
    ]  # fmt: skip
    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is not None:
        ints = numpy.arange(size, dtype=numpy.int32)
        assert alphabet.sequence("int32", ints) == ints.tolist()
        rows.append((f"sequence('int32', numpy array of {label})",
                     lambda: alphabet.sequence("int32", ints),
                     lambda: array.array("i", ints.tolist()), "array.array('i', a.tolist())",
                     0.5))  # fmt: skip
    figures = []
    for name, package, baseline, baseline_name, limit in rows:
        measured, base = best_interleaved(
            rounds,
            lambda package=package: clocked(package),
            lambda baseline=baseline: clocked(baseline),
        )
        note = f"{measured / size * 1e9:.1f} ns per element"
        figures.append(Figure(name, measured * 1e3, "ms", base * 1e3, baseline_name, limit=limit,
                              note=note))  # fmt: skip
    return figures


def lifetime_figures(count: int) -> list[Figure]:
    figures = []
    for name, make in (
        ("dna()", alphabet.dna),
        ("sequence('int')", lambda: alphabet.sequence("int")),
    ):
        gc.collect()
        before = m.NumHandles()
        start = time.perf_counter()
        for _ in range(count):
            make()
        took = time.perf_counter() - start
        gc.collect()
        left = m.NumHandles() - before
        # The goal is on the handles left behind; the time is reported.
        figures.append(Figure(f"{count:,} {name} dropped: handles left", left,
                              "handles", limit=0,
                              note=f"{took / count * 1e9:.0f} ns each"))  # fmt: skip
    return figures


def figures(quick: bool) -> list[Figure]:
    if quick:
        return [
            *overhead_figures(30_000, 3),
            *bulk_figures(1_000_000, 1),
            *bulk_sequence_figures(100_000, 3),
            *lifetime_figures(100_000),
        ]
    return [
        *overhead_figures(200_000, 15),
        *bulk_figures(10_000_000, 2),
        *bulk_sequence_figures(1_000_000, 7),
        *lifetime_figures(1_000_000),
    ]


def main() -> None:
    run_part("the alphabet package", figures)


if __name__ == "__main__":
    main()
