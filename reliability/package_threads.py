#!/usr/bin/env python3
"""Many threads using the alphabet package at once, for a few seconds.

The codec's kernels and the reader run with the interpreter lock released,
so this is where the package's threads meet in native code.  Each thread
draws from a seeded mix:

  * bulk encoding, decoding, reverse complements and k-mers of inputs large
    enough to run unlocked, on alphabets every thread shares, and on the DNA
    alphabet of the moment while other threads replace it with set_dna (with
    equal alphabets, so that every answer stays the same);
  * reading a shared FASTA file (through its descriptor, unlocked) and a
    gzip stream, each thread with its own reader;
  * one reader shared by every thread: each next() gives a record or, while
    another thread is inside it, ValueError; every record comes out exactly
    once;
  * appends and all-or-nothing extends of one shared sequence, whose
    elements are then counted per thread; private sequences with views;
  * objects dropped while other threads use them: shared slots whose
    alphabets, sequences and codecs are replaced while others take them
    and use them.

Afterwards no thread may be stuck (faulthandler dumps every stack and ends
the process if the run overstays --timeout), the shared sequence must hold
exactly the elements appended, and NumHandles must return to its start once
everything is let go.

    python reliability/package_threads.py --threads 8 --seconds 8
"""

import argparse
import faulthandler
import gc
import gzip
import io
import os
import random
import sys
import tempfile
import threading
import time

import _alphabet as m
import alphabet as ab

# Inputs this long run the kernels with the interpreter lock released.
LONG = 1 << 17
RECORDS = 40


class Shared:
    """What every thread uses; made before the threads start."""

    def __init__(self, seed, folder):
        rng = random.Random(seed)
        self.text = "".join(rng.choices("ACGT", k=LONG))
        self.dna = ab.Alphabet("ACGT", complements="TGCA")
        self.codes = self.dna.encode_all(self.text)
        self.reverse = bytes(3 - c for c in reversed(self.codes))
        self.lenient = ab.Alphabet("ACGTN", ignore_case=True, aliases={"U": "T"}, unknown="N")
        self.wide = ab.Alphabet([chr(0x100 + i) for i in range(300)])
        self.wide_text = "".join(rng.choices(self.wide.symbols, k=LONG))
        self.wide_codes = self.wide.encode_all(self.wide_text)
        self.records = [
            (f"r{i}", "".join(rng.choices("ACGT", k=rng.randrange(1, 5000))))
            for i in range(RECORDS)
        ]
        data = "".join(f">{rid} read\n{sequence}\n" for rid, sequence in self.records).encode()
        self.path = os.path.join(folder, "reads.fa")
        with open(self.path, "wb") as f:
            f.write(data)
        self.zipped = gzip.compress(data, mtime=0)
        self.counter = ab.sequence("int64")
        self.slots = [ab.Alphabet("ACGT"), ab.sequence("int32", range(100)), self.dna]
        self.standard = ab.dna()


class Worker:
    def __init__(self, index, seed, shared, deadline, shared_reader, reader_lock):
        self.index = index
        self.rng = random.Random(seed * 1000 + index)
        self.shared = shared
        self.deadline = deadline
        self.shared_reader = shared_reader
        self.reader_lock = reader_lock
        self.appended = 0
        self.taken = []  # records this thread took from the shared reader
        self.busy = 0  # ValueErrors from the shared reader
        self.ops = 0
        self.failure = None

    def check(self, condition, what):
        if not condition:
            raise AssertionError(f"thread {self.index}: {what}")

    def bulk(self):
        s = self.shared
        self.check(s.dna.encode_all(s.text) == s.codes, "encode_all")
        self.check(s.dna.decode_str(s.codes) == s.text, "decode_str")
        self.check(s.dna.reverse_complement(s.codes) == s.reverse, "reverse_complement")
        self.check(s.lenient.encode_all(s.text.lower()) == s.codes, "ignore_case encode_all")
        self.check(s.wide.encode_all(s.wide_text) == s.wide_codes, "wide encode_all")
        self.check(s.wide.decode_str(s.wide_codes) == s.wide_text, "wide decode_str")
        kmers = s.dna.kmers(s.codes, 3)
        self.check(
            len(kmers) == LONG - 2 and kmers[0] == s.codes[0] * 16 + s.codes[1] * 4 + s.codes[2],
            "kmers",
        )

    def standard(self):
        # dna() is ACGT whichever equal alphabet is current.
        s = self.shared
        if self.rng.random() < 0.3:
            ab.set_dna(self.rng.choice([s.standard, ab.Alphabet("ACGT", complements="TGCA")]))
        dna = ab.dna()
        self.check(dna.encode_all(s.text) == s.codes, "dna() while it is replaced")
        self.check(
            dna.reverse_complement(s.text[:100]) == s.dna.reverse_complement(s.text[:100]),
            "dna() complements",
        )

    def read(self):
        s = self.shared
        if self.rng.random() < 0.5:
            got = [(r.id, r.sequence) for r in ab.read(s.path)]
            self.check(got == s.records, "read(path)")
        else:
            got = [(r.id, r.sequence) for r in ab.read(io.BytesIO(s.zipped), alphabet=s.dna)]
            self.check(
                got == [(rid, s.dna.encode_all(seq)) for rid, seq in s.records], "read(gzip)"
            )

    def share_reader(self):
        with self.reader_lock:
            reader = self.shared_reader[0]
        try:
            record = next(reader)
        except StopIteration:
            return
        except ValueError as error:
            self.check("already executing" in str(error), f"shared reader: {error}")
            self.busy += 1
            return
        self.taken.append((record.id, record.sequence))

    def sequences(self):
        s = self.shared
        rng = self.rng
        if rng.random() < 0.5:
            s.counter.append(self.index)
            self.appended += 1
        else:
            count = rng.randrange(1, 50)
            s.counter.extend([self.index] * count)
            self.appended += count
        mine = ab.sequence("int16", [self.index] * rng.randrange(1, 20))
        view = mine[1:]
        view.append(-1)
        mine.extend(view)
        self.check(list(mine).count(-1) in (1, 2) and len(mine) >= 2, "private sequence")

    def slots(self):
        # Take an object, use it; meanwhile others replace what the slot
        # holds, dropping the last reference they knew of.
        s = self.shared
        rng = self.rng
        i = rng.randrange(len(s.slots))
        obj = s.slots[i]
        if isinstance(obj, ab.Alphabet):
            self.check(
                obj.decode_str(obj.encode_all("ACGT" * 20000)) == "ACGT" * 20000, "slot alphabet"
            )
        else:
            self.check(list(obj[:3]) == [0, 1, 2] and sum(memoryview(obj)) == 4950, "slot sequence")
        replacement = rng.choice(
            [
                ab.Alphabet("ACGT"),
                ab.sequence("int32", range(100)),
                ab.Alphabet("TGCA").with_options(ignore_case=True),
            ]
        )
        s.slots[i] = replacement

    OPERATIONS = [bulk, standard, read, share_reader, sequences, slots]
    WEIGHTS = [4, 3, 2, 4, 5, 4]

    def run(self):
        try:
            while time.monotonic() < self.deadline:
                self.rng.choices(self.OPERATIONS, self.WEIGHTS)[0](self)
                self.ops += 1
        except BaseException as exc:  # reported by the main thread
            self.failure = exc


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument(
        "--timeout",
        type=float,
        default=120.0,
        help="the whole run's bound: then every stack is dumped and it exits",
    )
    args = parser.parse_args()
    faulthandler.dump_traceback_later(args.timeout, exit=True)
    sys.setswitchinterval(0.0005)  # many more lock hand-overs than the default 5 ms

    ab.dna()  # the package keeps the standard alphabet it hands out
    gc.collect()
    start = m.NumHandles()
    with tempfile.TemporaryDirectory(prefix="package-threads-") as folder:
        shared = Shared(args.seed, folder)
        # The shared reader is replaced by a fresh one whenever it ends, so
        # that the threads find records to share for the whole run.
        shared_reader = [ab.read(shared.path)]
        readers = [shared_reader[0]]
        reader_lock = threading.Lock()
        deadline = time.monotonic() + args.seconds
        workers = [
            Worker(i, args.seed, shared, deadline, shared_reader, reader_lock)
            for i in range(args.threads)
        ]
        threads = [
            threading.Thread(target=w.run, name=f"worker-{i}", daemon=True)
            for i, w in enumerate(workers)
        ]
        started = time.monotonic()
        for thread in threads:
            thread.start()
        while time.monotonic() < deadline:
            time.sleep(0.05)
            with reader_lock:
                if shared_reader[0].closed:
                    shared_reader[0] = ab.read(shared.path)
                    readers.append(shared_reader[0])
        join_by = deadline + args.timeout / 2
        for thread in threads:
            thread.join(timeout=max(0.0, join_by - time.monotonic()))
        stuck = [t.name for t in threads if t.is_alive()]
        if stuck:
            faulthandler.dump_traceback(all_threads=True)
            print(
                f"package_threads: FAILED: still running after the join timeout: {stuck}",
                file=sys.stderr,
            )
            return 1
        failures = [w.failure for w in workers if w.failure is not None]
        for failure in failures:
            print(f"package_threads: FAILED: {type(failure).__name__}: {failure}", file=sys.stderr)
        if failures:
            return 1

        problems = []
        appended = sum(w.appended for w in workers)
        per_thread = [list(shared.counter).count(i) for i in range(args.threads)]
        if per_thread != [w.appended for w in workers] or len(shared.counter) != appended:
            problems.append(
                f"the shared sequence holds {per_thread} per thread, appended {[w.appended for w in workers]}"
            )
        # Every record of every shared reader came out once, in order per reader.
        taken = sorted(record for w in workers for record in w.taken)
        rest = [(r.id, r.sequence) for r in readers[-1]]
        expected = sorted(shared.records * len(readers))
        if sorted(taken + rest) != expected:
            problems.append(
                f"the shared readers gave {len(taken) + len(rest)} records, {len(expected)} expected"
            )
        ab.set_dna(shared.standard)
        ops = sum(w.ops for w in workers)
        busy = sum(w.busy for w in workers)
        del shared, workers, threads, readers, shared_reader, failures
    gc.collect()
    if m.NumHandles() != start:
        problems.append(f"NumHandles {m.NumHandles()} at the end, {start} at the start")
    print(
        f"package_threads: {args.threads} threads, {ops} operations in "
        f"{time.monotonic() - started:.1f}s, {appended} shared appends, {busy} busy refusals "
        f"of the shared reader; NumHandles back to {start}"
    )
    for problem in problems:
        print(f"package_threads: FAILED: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
