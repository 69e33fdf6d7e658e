"""Cost of the typed-sequence rows, measured against what they cannot beat.

1. Per call: Slice_int_elem, _set, _append and _len against the _floor
   methods with the same calling convention and argument format, which only
   parse their arguments and build their result.  Goal: within 1.3x.
2. Slice_byte_from_bytes followed by Slice_byte_to_bytes of 64 MiB against
   two plain copies of the same bytes in Python.  Goal: within 1.5x.
3. Ten million Slice_int_append calls in a row (growth included).

Every figure is the best of several repetitions.  Run with PYTHONPATH
pointing at the build directory (see bench/README.md).
"""

import argparse
import sys
import time
import timeit

import _alphabet as m
import _floor

ELEMENTS = 1000  # a length above the small-int cache, like the stored values
VALUE = 100_003
FLOOR_HANDLE = 100_000


def release(handle):
    m.IncRef(handle)
    m.DecRef(handle)


class Sequences:
    """Fresh int sequences for the timed statements; the previous one is let go."""

    def __init__(self):
        self.handle = None

    def fresh(self, filled=ELEMENTS):
        if self.handle is not None:
            release(self.handle)
        self.handle = m.Slice_int_CTor()
        for _ in range(filled):
            m.Slice_int_append(self.handle, VALUE)
        return self.handle


def per_call(stmt, setup, namespace, number, repeat):
    timer = timeit.Timer(stmt, setup=setup, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def bench_per_call(number, repeat):
    seqs = Sequences()
    ns = {"m": m, "floor": _floor, "seqs": seqs, "FH": FLOOR_HANDLE, "V": VALUE}
    rows = [
        # name, statement, setup of the measured row, setup of the floor
        ("elem", "f(h, 7)", "f = m.Slice_int_elem", "f = floor.elem"),
        ("set", "f(h, 7, V)", "f = m.Slice_int_set", "f = floor.set"),
        ("append", "f(h, V)", "f = m.Slice_int_append", "f = floor.append"),
        ("len", "f(h)", "f = m.Slice_int_len", "f = floor.len"),
    ]
    print(f"per call, best of {repeat} x {number:,} calls")
    print(f"  {'row':<18}{'ns/call':>9}{'floor ns':>10}{'ratio':>8}  goal <= 1.3")
    worst = 0.0
    for name, stmt, setup, floor_setup in rows:
        real = floor = float("inf")
        # Interleaved so that drift of the machine hits both sides alike.
        for _ in range(repeat):
            real = min(real, per_call(stmt, f"{setup}; h = seqs.fresh()", ns, number, 1))
            floor = min(floor, per_call(stmt, f"{floor_setup}; h = FH", ns, number, 1))
        ratio = real / floor
        worst = max(worst, ratio)
        verdict = "ok" if ratio <= 1.3 else "MISSED"
        print(f"  Slice_int_{name:<8}{real * 1e9:9.1f}{floor * 1e9:10.1f}{ratio:8.2f}  {verdict}")
    release(seqs.handle)
    return worst


def bench_conversion(mib, repeat):
    data = bytes(range(256)) * (mib * 4096)

    def through_sequence():
        h = m.Slice_byte_from_bytes(data)
        out = m.Slice_byte_to_bytes(h)
        release(h)
        return out

    def plain_copies():
        return bytes(bytearray(data))

    assert through_sequence() == data == plain_copies()
    real = floor = float("inf")
    for _ in range(repeat):
        real = min(real, timeit.timeit(through_sequence, number=1))
        floor = min(floor, timeit.timeit(plain_copies, number=1))
    ratio = real / floor
    print(f"\n{mib} MiB, best of {repeat}")
    print(f"  from_bytes + to_bytes   {real * 1e3:8.1f} ms  ({2 * mib / real / 1024:.2f} GiB/s copied)")
    print(f"  bytes(bytearray(b))     {floor * 1e3:8.1f} ms")
    print(f"  ratio {ratio:.2f}  goal <= 1.5  {'ok' if ratio <= 1.5 else 'MISSED'}")
    return ratio


def bench_appends(count, repeat):
    def run(append, handle):
        start = time.perf_counter()
        for v in range(count):
            append(handle, v)
        return time.perf_counter() - start

    real = floor = float("inf")
    for _ in range(repeat):
        h = m.Slice_int_CTor()
        real = min(real, run(m.Slice_int_append, h))
        assert m.Slice_int_len(h) == count and m.Slice_int_elem(h, count - 1) == count - 1
        release(h)
        floor = min(floor, run(_floor.append, FLOOR_HANDLE))
    print(f"\n{count:,} appends, best of {repeat}")
    print(f"  Slice_int_append        {real:6.2f} s  ({real / count * 1e9:.1f} ns/append)")
    print(f"  floor append            {floor:6.2f} s  ({floor / count * 1e9:.1f} ns/append)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=500_000, help="calls per repetition")
    parser.add_argument("--repeat", type=int, default=7, help="repetitions per figure")
    parser.add_argument("--mib", type=int, default=64, help="size of the converted buffer")
    parser.add_argument("--appends", type=int, default=10_000_000)
    args = parser.parse_args()

    start = time.perf_counter()
    worst = bench_per_call(args.number, args.repeat)
    ratio = bench_conversion(args.mib, max(3, args.repeat // 2))
    bench_appends(args.appends, 2)
    print(f"\ntotal {time.perf_counter() - start:.1f} s")
    return 0 if worst <= 1.3 and ratio <= 1.5 else 1


if __name__ == "__main__":
    sys.exit(main())
