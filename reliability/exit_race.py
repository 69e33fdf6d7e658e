#!/usr/bin/env python3
"""The interpreter exits while daemon threads are inside bound calls.

Each run starts a fresh interpreter whose daemon threads loop over the calls
that release the interpreter lock: the module's (Encode, Decode, Extend,
Symbols, NewAlphabet, the error's message) and the package's (bulk encoding
and decoding, k-mers and reverse complements of inputs long enough to run
unlocked, and reading a file through its descriptor); its main thread
returns after a short while.  A thread that comes back from the library
while the interpreter finalizes is ended by the interpreter, which unwinds
its native call: the process must still exit with status 0, without output
on stderr, and within the time bound.

    python reliability/exit_race.py --runs 40
"""

import argparse
import importlib
import os
import subprocess
import sys
import tempfile
import threading
import time


def package_loop(which, path):
    """The package's calls that run without the interpreter lock."""
    import alphabet as ab

    dna = ab.Alphabet("ACGT", complements="TGCA")
    text = "GATTACA" * 20000
    codes = dna.encode_all(text)
    calls = [
        lambda: dna.encode_all(text),
        lambda: dna.decode_str(codes),
        lambda: dna.kmers(codes, 7),
        lambda: dna.reverse_complement(bytearray(codes)),
        lambda: sum(1 for _ in ab.read(path, alphabet=dna)),
    ]
    while True:
        calls[which]()


def child(linger, path):
    # ALPHABET_MODULE names a stand-in for the module, as in the other scripts.
    m = importlib.import_module(os.environ.get("ALPHABET_MODULE", "_alphabet"))
    importlib.import_module("alphabet")  # before the threads, which start at once
    symbols = m.Slice_string_CTor()
    for i in range(64):
        m.Slice_string_append(symbols, f"s{i}")
    alphabet = m.alphabet_NewAlphabet(symbols)
    error = m.alphabet_Error_CTor()
    for handle in (symbols, alphabet, error):
        m.IncRef(handle)

    def release(handle):
        m.IncRef(handle)
        m.DecRef(handle)

    def loop(which):
        while True:
            if which == 0:
                m.alphabet_Alphabet_Encode(alphabet, "s7")
            elif which == 1:
                m.alphabet_Alphabet_Decode(alphabet, "9")
            elif which == 2:
                release(m.alphabet_Alphabet_Extend(alphabet, symbols))
            elif which == 3:
                release(m.alphabet_Alphabet_Symbols(alphabet))
            elif which == 4:
                release(m.alphabet_NewAlphabet(symbols))
            else:
                m.alphabet_Error_Error(error)

    for i in range(8):
        threading.Thread(target=loop, args=(i % 6,), daemon=True).start()
    for which in range(5):
        threading.Thread(target=package_loop, args=(which, path), daemon=True).start()
    time.sleep(linger)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--timeout", type=float, default=60.0, help="bound on each run")
    parser.add_argument("--child", type=float, help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        child(args.child, args.path)
        return 0
    failures = []
    started = time.monotonic()
    folder = tempfile.TemporaryDirectory(prefix="exit-race-")
    path = os.path.join(folder.name, "reads.fa")
    with open(path, "w") as f:
        f.writelines(f">r{i}\n{'ACGT' * 3000}\n" for i in range(100))
    for run in range(args.runs):
        linger = 0.05 + 0.01 * (run % 10)
        command = [
            sys.executable,
            os.path.abspath(__file__),
            "--child",
            str(linger),
            "--path",
            path,
        ]
        try:
            proc = subprocess.run(
                command,
                stdin=subprocess.DEVNULL,
                capture_output=True,
                text=True,
                timeout=args.timeout,
            )
        except subprocess.TimeoutExpired:
            failures.append(f"run {run}: did not exit within {args.timeout}s")
            continue
        if proc.returncode != 0 or proc.stderr:
            failures.append(f"run {run}: exit status {proc.returncode}, stderr:\n{proc.stderr}")
    folder.cleanup()
    print(
        f"exit_race: {args.runs} exits with daemon threads in bound calls, "
        f"{len(failures)} failed, {time.monotonic() - started:.0f}s"
    )
    for failure in failures[:5]:
        print(f"exit_race: FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
