"""What the alphabet package costs on top of the raw _alphabet module.

    PYTHONPATH=build:python .venv/bin/python bench/bench_package.py [--quick]

1. Per-call overhead: the package's method against the module call that a
   handle-juggling caller would make (goal: within 1.5x).
2. Bulk: encode_all / decode_str on a 10 MB DNA text against a Python loop
   over encode / decode (goal: at least 20x faster).
3. Lifetimes: a million wrappers made and dropped leave NumHandles as it was.

Figures are the best of several runs; --quick shrinks the sizes tenfold.
"""

from __future__ import annotations

import argparse
import gc
import random
import sys
import time
import timeit
from collections.abc import Callable

import _alphabet as m
import alphabet


def per_call_ns(
    statements: tuple[str, str], namespace: dict[str, object], number: int
) -> tuple[float, float]:
    """Best time per call of each statement, the two measured in alternation
    so that a change in machine load weighs on both alike."""
    timers = [timeit.Timer(statement, globals=namespace) for statement in statements]
    best = [float("inf")] * len(timers)
    for _ in range(9):
        for which, timer in enumerate(timers):
            best[which] = min(best[which], timer.timeit(number))
    raw, wrapped = (seconds / number * 1e9 for seconds in best)
    return raw, wrapped


def best_seconds(run: Callable[[], object], repeat: int = 3) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def overhead(number: int) -> None:
    dna = alphabet.dna()
    assert dna is not None
    seq = alphabet.sequence("int", range(100))
    names: dict[str, object] = {
        "m": m, "dna": dna, "h": dna.handle, "seq": seq, "sh": seq.handle, "code": 2,
    }  # fmt: skip
    rows = [
        ("encode", "m.alphabet_Alphabet_Encode(h, 'G')", "dna.encode('G')"),
        ("decode (int code)", "m.alphabet_Alphabet_Decode(h, str(code))", "dna.decode(code)"),
        ("decode (text ready)", "m.alphabet_Alphabet_Decode(h, '2')", "dna.decode(code)"),
        ("sequence elem", "m.Slice_int_elem(sh, 5)", "seq[5]"),
        ("sequence elem, -1", "m.Slice_int_elem(sh, m.Slice_int_len(sh) - 1)", "seq[-1]"),
        ("sequence set", "m.Slice_int_set(sh, 5, 7)", "seq[5] = 7"),
        ("sequence len", "m.Slice_int_len(sh)", "len(seq)"),
    ]
    print(f"{'per call':22s} {'module':>9s} {'package':>9s} {'ratio':>6s}")
    for label, raw, wrapped in rows:
        raw_ns, wrapped_ns = per_call_ns((raw, wrapped), names, number)
        ratio = wrapped_ns / raw_ns
        print(f"{label:22s} {raw_ns:7.0f}ns {wrapped_ns:7.0f}ns {ratio:5.2f}x")


def bulk(size: int) -> None:
    dna = alphabet.dna()
    assert dna is not None
    text = "".join(random.Random(7).choices("ACGT", k=size))
    codes = dna.encode_all(text)
    encode, decode = dna.encode, dna.decode
    assert codes == bytes(encode(symbol) for symbol in text[:1000]) + codes[1000:]

    fast = best_seconds(lambda: dna.encode_all(text))
    loop = best_seconds(lambda: [encode(symbol) for symbol in text], repeat=1)
    print(f"\nencode_all, {size / 1e6:g} MB DNA: {fast * 1e3:.1f} ms; "
          f"loop over encode {loop:.2f} s; {loop / fast:.0f}x faster")  # fmt: skip
    fast = best_seconds(lambda: dna.decode_str(codes))
    loop = best_seconds(lambda: "".join([decode(code) for code in codes]), repeat=1)
    print(f"decode_str, {size / 1e6:g} MB DNA: {fast * 1e3:.1f} ms; "
          f"loop over decode {loop:.2f} s; {loop / fast:.0f}x faster")  # fmt: skip


def lifetimes(count: int) -> None:
    gc.collect()
    before = m.NumHandles()
    for label, make in (
        ("dna()", alphabet.dna),
        ("sequence('int')", lambda: alphabet.sequence("int")),
    ):
        start = time.perf_counter()
        for _ in range(count):
            make()
        elapsed = time.perf_counter() - start
        gc.collect()
        after = m.NumHandles()
        print(f"\n{count:,} x {label} made and dropped: {elapsed:.2f} s "
              f"({elapsed / count * 1e9:.0f} ns each); NumHandles {before} -> {after}")  # fmt: skip
        if after != before:
            sys.exit("handles leaked")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--quick", action="store_true", help="sizes divided by ten")
    scale = 10 if parser.parse_args().quick else 1
    overhead(200_000 // scale)
    bulk(10_000_000 // scale)
    lifetimes(1_000_000 // scale)


if __name__ == "__main__":
    main()
