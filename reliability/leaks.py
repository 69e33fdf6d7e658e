#!/usr/bin/env python3
"""Creates and releases objects of every kind, round after round, and checks
that nothing stays behind.

Each round makes `--objects` of each: sequences of all seventeen kinds with
elements and views over them, byte sequences from and to bytes, alphabets
(new, empty, standard, extended, replaced as a standard reference), symbol
lists and errors; it reads back the texts the library hands out (string and
error elements, Decode and Error results, exception messages, the empty text
of a failed call), then lets every handle go.  After each round NumHandles
must be back at its starting value.

--rss-limit MIB: the resident set size after the last round may exceed the
one after the warm-up rounds by at most that much (run it on the plain
build: a sanitizer's quarantine would hide a plateau).

--lsan: run with LeakSanitizer loaded (ASan build, detect_leaks=1,
leak_check_at_exit=0); after the last round it asks for a leak check, which
finds every malloc'd text or object that nothing refers to any more.  The
check runs while the interpreter is alive, so its own memory is still
reachable and needs no suppression.
"""

import argparse
import ctypes
import gc
import importlib
import os
import sys
import time

# ALPHABET_MODULE names a stand-in for the module (the harness's own tests
# use one with a planted fault).
m = importlib.import_module(os.environ.get("ALPHABET_MODULE", "_alphabet"))

KINDS = {
    "bool": [True, False],
    "byte": [0, 255],
    "error": ["boom", ""],
    "float32": [0.1, -2.5],
    "float64": [1e300, -0.0],
    "int": [-(2**63), 7],
    "int16": [-32768, 32767],
    "int32": [-1, 2**31 - 1],
    "int64": [2**63 - 1, -5],
    "int8": [-128, 127],
    "rune": [0x1F600, 65],
    "string": ["", "é" * 40],
    "uint": [2**64 - 1, 3],
    "uint16": [65535, 1],
    "uint32": [2**32 - 1, 0],
    "uint64": [2**64 - 1, 9],
    "uint8": [1, 200],
}
TEXTS = ["A", "C", "G", "T", "longer symbol " * 8, "ü"]


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def expect_raises(exc_type, call, *args):
    try:
        call(*args)
    except exc_type:
        return
    raise AssertionError(f"{call.__name__}{args} did not raise {exc_type.__name__}")


def one_round(count):
    """Makes `count` objects of each sort, uses them, and lets them all go."""
    taken = []

    def take(handle):
        assert handle > 0, handle
        m.IncRef(handle)
        taken.append(handle)
        return handle

    for kind, values in KINDS.items():
        ctor = getattr(m, f"Slice_{kind}_CTor")
        append = getattr(m, f"Slice_{kind}_append")
        elem = getattr(m, f"Slice_{kind}_elem")
        setter = getattr(m, f"Slice_{kind}_set")
        subslice = getattr(m, f"Slice_{kind}_subslice")
        length = getattr(m, f"Slice_{kind}_len")
        for _ in range(count):
            seq = take(ctor())
            for value in values * 3:  # past the first capacity: one move to a new block
                append(seq, value)
            view = take(subslice(seq, 1, 4))
            setter(view, 0, values[0])
            append(view, values[1])  # writes in place, inside the source's block
            tail = take(subslice(seq, length(seq), length(seq)))
            append(tail, values[0])
            elem(seq, 0)
            elem(view, 2)
            expect_raises(IndexError, elem, seq, 99)

    string_kinds = ("string", "error")
    for _ in range(count):
        # Texts handed out: elements, results and messages.
        symbols = take(m.Slice_string_CTor())
        for text in TEXTS:
            m.Slice_string_append(symbols, text)
        alphabet = take(m.alphabet_NewAlphabet(symbols))
        assert m.alphabet_Alphabet_Decode(alphabet, "4") == TEXTS[4]
        assert m.alphabet_Alphabet_Encode(alphabet, "ü") == 5
        expect_raises(RuntimeError, m.alphabet_Alphabet_Encode, alphabet, "nope")
        expect_raises(RuntimeError, m.alphabet_Alphabet_Decode, alphabet, "77")
        expect_raises(RuntimeError, m.alphabet_Alphabet_Decode, alphabet, "x" * 64)
        # A failed call discards the text it had made.
        expect_raises(TypeError, m.alphabet_Alphabet_Decode, symbols, "0")
        expect_raises(TypeError, m.alphabet_Error_Error, alphabet)
        expect_raises(TypeError, m.alphabet_NewAlphabet, alphabet)
        for kind in string_kinds:
            expect_raises(TypeError, getattr(m, f"Slice_{kind}_elem"), alphabet, 0)
        err = take(m.alphabet_Error_CTor())
        assert m.alphabet_Error_Error(err) == ""
        extended = take(m.alphabet_Alphabet_Extend(alphabet, symbols))
        listed = take(m.alphabet_Alphabet_Symbols(extended))
        assert m.Slice_string_elem(listed, 10) == TEXTS[4]
        take(m.alphabet_Alphabet_CTor())
        for getter in (m.alphabet_DNA, m.alphabet_RNA, m.alphabet_Protein):
            standard = take(getter())
            take(m.alphabet_Alphabet_Symbols(standard))
        # Replacing a standard reference drops the alphabet it held before.
        dna = take(m.alphabet_DNA())
        m.alphabet_Set_DNA(alphabet)
        m.alphabet_Set_DNA(dna)
        # Bytes in and out.
        raw = take(m.Slice_byte_from_bytes(b"\x00\x01" * 50))
        assert len(m.Slice_byte_to_bytes(raw)) == 100
        # Handles that name nothing: neutral results, nothing registered.
        assert m.alphabet_Alphabet_Decode(0, "0") == ""
        assert m.alphabet_Error_Error(-1) == ""
        assert m.alphabet_Alphabet_Symbols(0) == -1

    for handle in taken:
        m.DecRef(handle)
    return len(taken)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--objects", type=int, default=1000, help="objects of each sort per round")
    parser.add_argument("--warmup", type=int, default=2, help="rounds before the RSS baseline")
    parser.add_argument("--rss-limit", type=float, help="allowed RSS growth in MiB")
    parser.add_argument("--lsan", action="store_true", help="ask LeakSanitizer at the end")
    args = parser.parse_args()

    start = m.NumHandles()
    started = time.monotonic()
    total = 0
    baseline = None
    for round_index in range(args.rounds):
        total += one_round(args.objects)
        now = m.NumHandles()
        if now != start:
            print(
                f"leaks: FAILED: NumHandles {now} after round {round_index}, {start} before",
                file=sys.stderr,
            )
            return 1
        if round_index + 1 == args.warmup:
            baseline = rss_mib()
    final = rss_mib()
    growth = final - baseline if baseline is not None else 0.0
    print(
        f"leaks: {total} objects made and released in {args.rounds} rounds, "
        f"{time.monotonic() - started:.0f}s; NumHandles back to {start}; "
        f"RSS {final:.0f} MiB, {growth:+.1f} MiB since round {args.warmup}"
    )
    if args.rss_limit is not None and growth > args.rss_limit:
        print(
            f"leaks: FAILED: RSS grew {growth:.1f} MiB after warm-up, limit {args.rss_limit}",
            file=sys.stderr,
        )
        return 1
    return 0


def leak_check():
    """Asks the preloaded LeakSanitizer for a report; True if it found none.

    Called with no function frame of ours alive: the interpreter keeps
    frames in memory mapped outside malloc, which LeakSanitizer does not
    scan, so an object held only by a live frame's local would be reported
    as leaked.  Module globals live in malloc'd dicts and are seen.
    """
    gc.collect()
    sys.stdout.flush()
    runtime = ctypes.CDLL(None)  # the preloaded runtime is in the global namespace
    if getattr(runtime, "__lsan_do_recoverable_leak_check")():
        print(
            "leaks: FAILED: LeakSanitizer found unreachable memory (report above)", file=sys.stderr
        )
        return False
    print("leaks: LeakSanitizer found no unreachable memory")
    return True


if __name__ == "__main__":
    status = main()
    if status == 0 and "--lsan" in sys.argv and not leak_check():
        status = 1
    sys.exit(status)
