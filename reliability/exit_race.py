#!/usr/bin/env python3
"""The interpreter exits while daemon threads are inside bound calls.

Each run starts a fresh interpreter whose daemon threads loop over the calls
that release the interpreter lock (Encode, Decode, Extend, Symbols,
NewAlphabet, the error's message); its main thread returns after a short
while.  A thread that comes back from the library while the interpreter
finalizes is ended by the interpreter: the process must still exit with
status 0, without output on stderr, and within the time bound.

    python reliability/exit_race.py --runs 40
"""

import argparse
import importlib
import os
import subprocess
import sys
import threading
import time


def child(linger):
    # ALPHABET_MODULE names a stand-in for the module, as in the other scripts.
    m = importlib.import_module(os.environ.get("ALPHABET_MODULE", "_alphabet"))
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
    time.sleep(linger)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--timeout", type=float, default=60.0, help="bound on each run")
    parser.add_argument("--child", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        child(args.child)
        return 0
    failures = []
    started = time.monotonic()
    for run in range(args.runs):
        linger = 0.05 + 0.01 * (run % 10)
        command = [sys.executable, os.path.abspath(__file__), "--child", str(linger)]
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
    print(
        f"exit_race: {args.runs} exits with daemon threads in bound calls, "
        f"{len(failures)} failed, {time.monotonic() - started:.0f}s"
    )
    for failure in failures[:5]:
        print(f"exit_race: FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
