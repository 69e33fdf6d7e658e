"""Cost of the alphabet rows and of a handle, measured against their baselines.

1. Per call: alphabet_Alphabet_Encode and _Decode on DNA against the floor's
   encode and decode (same format "Ls", interpreter lock released and taken
   back), and an IncRef + DecRef pair against the floor's incref + decref.
   Goal: within 1.3x.
2. Two threads calling Encode at once, against two threads calling the
   floor's encode; the wall time of both together.  Goal: no slower.
3. alphabet_NewAlphabet of 1,000,000 symbols from a string sequence filled
   beforehand, against a dict comprehension over a prepared list of the same
   symbols.  Goal: faster.
4. Memory per live handle of an empty error (alphabet_Error_CTor), object
   included: the growth of the resident set over 2,000,000 of them, in a
   fresh interpreter.  Goal: at most 128 bytes.  The same with one handle in
   64 kept live and the others released as soon as they are made (100,000
   live): goal at most 256 bytes.

    PYTHONPATH=build-bench:python .venv/bin/python bench/bench_alphabet.py [--quick]
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from collections.abc import Callable

import _alphabet as m
import _floor
from common import Figure, best_interleaved, on_threads, per_call, run_part


def release(handle: int) -> None:
    m.IncRef(handle)
    m.DecRef(handle)


def per_call_figures(dna: int, number: int, rounds: int) -> list[Figure]:
    namespace: dict[str, object] = {"m": m, "floor": _floor, "h": dna}
    rows = [
        # figure, statement, setup of the measured row, of the floor
        ("alphabet_Alphabet_Encode", "f(h, 'G')", "f = m.alphabet_Alphabet_Encode",
         "f = floor.encode", "floor encode"),
        ("alphabet_Alphabet_Decode", "f(h, '2')", "f = m.alphabet_Alphabet_Decode",
         "f = floor.decode", "floor decode"),
        # The handle is held (count 1), so the pair never removes its entry.
        ("IncRef + DecRef", "inc(h); dec(h)", "inc, dec = m.IncRef, m.DecRef",
         "inc, dec = floor.incref, floor.decref", "floor incref + decref"),
    ]  # fmt: skip
    figures = []
    for name, stmt, setup, floor_setup, floor_name in rows:
        real, base = best_interleaved(
            rounds,
            per_call(stmt, setup, namespace, number),
            per_call(stmt, floor_setup, namespace, number),
        )
        figures.append(Figure(f"{name} per call", real * 1e9, "ns", base * 1e9, floor_name,
                              limit=1.3))  # fmt: skip
    return figures


def two_threads(
    encode: Callable[[int, str], object], handle: int, calls: int
) -> tuple[float, float]:
    """Wall time of two threads making `calls` calls each, started together,
    and the processor time the process spent meanwhile."""

    def work(_: int) -> None:
        for _ in range(calls):
            encode(handle, "G")

    return on_threads(2, work)


def two_thread_figure(dna: int, calls: int, rounds: int) -> Figure:
    # The note gives the processors kept busy in the row's best round
    # (processor time / wall time): 1.00 means the interpreter lock let only
    # one thread run at a time.
    best = (float("inf"), 0.0)

    def row() -> float:
        nonlocal best
        best = min(best, two_threads(m.alphabet_Alphabet_Encode, dna, calls))
        return best[0]

    real, base = best_interleaved(rounds, row, lambda: two_threads(_floor.encode, dna, calls)[0])
    return Figure(f"Encode on 2 threads, {calls:,} calls each", real * 1e3, "ms", base * 1e3,
                  "floor encode on 2 threads", limit=1.0,
                  note=f"{best[1] / best[0]:.2f} CPUs busy")  # fmt: skip


def new_alphabet_figure(size: int, rounds: int) -> Figure:
    symbols = [f"sym{i}" for i in range(size)]
    listed = m.Slice_string_CTor()
    for symbol in symbols:
        m.Slice_string_append(listed, symbol)

    def new_alphabet() -> float:
        start = time.perf_counter()
        made = m.alphabet_NewAlphabet(listed)
        took = time.perf_counter() - start
        assert m.alphabet_Alphabet_Encode(made, symbols[-1]) == size - 1
        release(made)  # destruction off the clock, as for the dict
        return took

    def comprehension() -> float:
        start = time.perf_counter()
        made = {s: i for i, s in enumerate(symbols)}
        took = time.perf_counter() - start
        del made
        return took

    real, base = best_interleaved(rounds, new_alphabet, comprehension)
    release(listed)
    return Figure(f"alphabet_NewAlphabet, {size:,} symbols", real * 1e3, "ms", base * 1e3,
                  "dict comprehension", limit=1.0, strict=True)  # fmt: skip


# Run in a fresh interpreter: its resident set after start-up and import is
# the baseline, and everything above it after the loop is the handles' (the
# registry's pages and the objects).  The handles are not kept in Python: an
# entry stays live at count 0 until it is taken up and let go.  With `every`
# above 1, that many handles are made per live one, the others released at
# once: the live handles lie sparse among the issued ones.
MEMORY_CHILD = """
import os, sys
import _alphabet as m

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

count, every = int(sys.argv[1]), int(sys.argv[2])
ctor, inc, dec = m.alphabet_Error_CTor, m.IncRef, m.DecRef
live = m.NumHandles()
before = resident()
for _ in range(count):
    ctor()
    for _ in range(every - 1):
        h = ctor()
        inc(h)
        dec(h)
after = resident()
assert m.NumHandles() - live == count
print((after - before) / count)
"""


def memory_figure(count: int, runs: int, every: int = 1) -> Figure:
    per_handle = min(
        float(subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(count), str(every)],
                             check=True, capture_output=True, text=True, env=os.environ).stdout)
        for _ in range(runs)
    )  # fmt: skip
    if every == 1:
        return Figure(f"memory per live error handle, {count:,}", per_handle, "B", limit=128)
    return Figure(f"memory per live error handle, 1 in {every} live, {count:,}", per_handle,
                  "B", limit=256)  # fmt: skip


def figures(quick: bool) -> list[Figure]:
    dna = m.alphabet_DNA()
    m.IncRef(dna)
    try:
        if quick:
            return [
                *per_call_figures(dna, 50_000, 3),
                two_thread_figure(dna, 100_000, 2),
                new_alphabet_figure(100_000, 2),
                memory_figure(200_000, 1),
                memory_figure(10_000, 1, every=64),
            ]
        return [
            *per_call_figures(dna, 300_000, 15),
            two_thread_figure(dna, 500_000, 11),
            new_alphabet_figure(1_000_000, 5),
            memory_figure(2_000_000, 2),
            memory_figure(100_000, 2, every=64),
        ]
    finally:
        m.DecRef(dna)


def main() -> None:
    run_part("alphabet rows and handles", figures)


if __name__ == "__main__":
    main()
