"""Cost of the typed-sequence rows, measured against what they cannot beat.

1. Per call: Slice_int_elem, _set, _append and _len against the _floor
   functions with the same calling convention and argument format, which
   only parse their arguments and build their result.  Goal: within 1.3x.
2. Slice_byte_from_bytes followed by Slice_byte_to_bytes of 64 MiB against
   two plain copies of the same bytes in Python.  Goal: within 1.5x.
3. Ten million Slice_int_append calls in a loop (growth included) against
   the same loop over the floor's append.  Reported, no goal.

    PYTHONPATH=build-bench:python .venv/bin/python bench/bench_sequences.py [--quick]
"""

from __future__ import annotations

import time
from collections.abc import Callable

import _alphabet as m
import _floor
from common import Figure, best_interleaved, clocked, per_call, run_part

ELEMENTS = 1000
# Stored values and the floor's handle lie above the small-int cache, so
# both sides build a new int object for their result.
VALUE = 100_003
FLOOR_HANDLE = 100_000


def release(handle: int) -> None:
    m.IncRef(handle)
    m.DecRef(handle)


def int_sequence(length: int) -> int:
    handle = m.Slice_int_CTor()
    for _ in range(length):
        m.Slice_int_append(handle, VALUE)
    return handle


def per_call_figures(number: int, rounds: int) -> list[Figure]:
    handle = int_sequence(ELEMENTS)
    namespace: dict[str, object] = {"m": m, "floor": _floor, "h": handle, "FH": FLOOR_HANDLE,
                                    "V": VALUE}  # fmt: skip
    rows = [
        # row, statement, the row's function, the floor's
        ("elem", "f(h, 7)", "m.Slice_int_elem", "floor.elem"),
        ("set", "f(h, 7, V)", "m.Slice_int_set", "floor.set"),
        ("append", "f(h, V)", "m.Slice_int_append", "floor.append"),
        ("len", "f(h)", "m.Slice_int_len", "floor.len"),
    ]
    figures = []
    for name, stmt, row, floor in rows:
        # The appends grow the sequence they are timed on, as a caller's would.
        real, base = best_interleaved(
            rounds,
            per_call(stmt, f"f = {row}", namespace, number),
            per_call(stmt, f"f = {floor}; h = FH", namespace, number),
        )
        figures.append(Figure(f"Slice_int_{name} per call", real * 1e9, "ns", base * 1e9,
                              f"floor {name}", limit=1.3))  # fmt: skip
    release(handle)
    return figures


def conversion_figure(mib: int, rounds: int) -> Figure:
    data = bytes(range(256)) * (mib * 4096)

    def through_sequence() -> bytes:
        handle = m.Slice_byte_from_bytes(data)
        out: bytes = m.Slice_byte_to_bytes(handle)
        release(handle)
        return out

    def plain_copies() -> bytes:
        return bytes(bytearray(data))

    assert through_sequence() == data == plain_copies()
    real, base = best_interleaved(
        rounds, lambda: clocked(through_sequence), lambda: clocked(plain_copies)
    )
    return Figure(f"from_bytes + to_bytes, {mib} MiB", real * 1e3, "ms", base * 1e3,
                  "bytes(bytearray(b))", limit=1.5,
                  note=f"{2 * mib / real / 1024:.2f} GiB/s copied")  # fmt: skip


def appends_figure(count: int, rounds: int) -> Figure:
    def loop(append: Callable[[int, int], object], handle: int) -> float:
        start = time.perf_counter()
        for v in range(count):
            append(handle, v)
        return time.perf_counter() - start

    def appends() -> float:
        handle = m.Slice_int_CTor()
        took = loop(m.Slice_int_append, handle)
        assert m.Slice_int_len(handle) == count and m.Slice_int_elem(handle, count - 1) == count - 1
        release(handle)
        return took

    real, base = best_interleaved(rounds, appends, lambda: loop(_floor.append, FLOOR_HANDLE))
    return Figure(f"{count:,} Slice_int_append in a loop", real, "s", base,
                  "the loop over floor append",
                  note=f"{real / count * 1e9:.0f} ns per append")  # fmt: skip


def figures(quick: bool) -> list[Figure]:
    if quick:
        return [*per_call_figures(50_000, 3), conversion_figure(8, 2), appends_figure(1_000_000, 1)]
    return [
        *per_call_figures(300_000, 15),
        conversion_figure(64, 5),
        appends_figure(10_000_000, 2),
    ]


def main() -> None:
    run_part("typed sequences", figures)


if __name__ == "__main__":
    main()
