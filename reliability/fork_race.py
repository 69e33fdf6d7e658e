#!/usr/bin/env python3
"""Forks while other threads are inside the library.

Threads loop over bound calls that look handles up and register new ones
with the interpreter lock released; the main thread forks again and again,
and each child registers, takes up and lets go a handle of its own and
exits.  A child that inherited a lock held by a thread it does not have
would wait forever: every child must exit with status 0 within the bound.

    python reliability/fork_race.py --forks 300
"""

import argparse
import importlib
import os
import signal
import sys
import threading
import time
import warnings

# ALPHABET_MODULE names a stand-in for the module, as in the other scripts.
m = importlib.import_module(os.environ.get("ALPHABET_MODULE", "_alphabet"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--forks", type=int, default=300)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--child-timeout", type=float, default=10.0)
    args = parser.parse_args()
    # Forking a threaded process is exactly what is tested here.
    warnings.filterwarnings("ignore", "This process .* is multi-threaded", DeprecationWarning)

    symbols = m.Slice_string_CTor()
    for i in range(100):
        m.Slice_string_append(symbols, f"s{i}")
    alphabet = m.alphabet_NewAlphabet(symbols)
    m.IncRef(alphabet)
    stop = threading.Event()

    def spin(which):
        while not stop.is_set():
            if which % 2:
                m.alphabet_Alphabet_Encode(alphabet, "s5")
            else:
                extended = m.alphabet_Alphabet_Extend(alphabet, symbols)
                m.IncRef(extended)
                m.DecRef(extended)

    threads = [threading.Thread(target=spin, args=(i,)) for i in range(args.threads)]
    for thread in threads:
        thread.start()
    stuck = failed = 0
    started = time.monotonic()
    try:
        for _ in range(args.forks):
            pid = os.fork()
            if pid == 0:
                try:
                    handle = m.Slice_int_CTor()
                    m.IncRef(handle)
                    m.DecRef(handle)
                    os._exit(0)
                finally:
                    os._exit(1)
            deadline = time.monotonic() + args.child_timeout
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    failed += os.waitstatus_to_exitcode(status) != 0
                    break
                if time.monotonic() > deadline:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    stuck += 1
                    break
                time.sleep(0.001)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    print(
        f"fork_race: {args.forks} forks beside {args.threads} busy threads in "
        f"{time.monotonic() - started:.0f}s: {stuck} children stuck, {failed} failed"
    )
    return 1 if stuck or failed else 0


if __name__ == "__main__":
    sys.exit(main())
