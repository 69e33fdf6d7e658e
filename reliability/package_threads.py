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
  * fetching regions of one shared genome, plain and BGZF, through the same
    Fasta objects: positional reads, and blocks decoded unlocked into a
    cache that every thread shares;
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

import gc
import gzip
import io
import os
import random
import struct
import sys
import tempfile
import threading
import time
import zlib

import campaign

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
        self.blocked = campaign.helpers.bgzf(data, 4000)
        self.chromosome = "".join(rng.choices("ACGTN", k=3 * LONG))
        genome = b">chr\n" + b"".join(
            self.chromosome[i : i + 60].encode() + b"\n" for i in range(0, len(self.chromosome), 60)
        )
        plain = os.path.join(folder, "genome.fa")
        with open(plain, "wb") as f:
            f.write(genome)
        with open(plain + ".gz", "wb") as f:
            for at in range(0, len(genome) + 1, 0xFF00):
                chunk = genome[at : at + 0xFF00]
                body = zlib.compress(chunk, wbits=-15)
                f.write(b"\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0")
                f.write(struct.pack("<H", len(body) + 25) + body)
                f.write(struct.pack("<II", zlib.crc32(chunk), len(chunk)))
        self.genomes = [ab.Fasta(plain), ab.Fasta(plain + ".gz")]
        self.counter = ab.sequence("int64")
        self.slots = [ab.Alphabet("ACGT"), ab.sequence("int32", range(100)), self.dna]
        self.standard = ab.dna()


class SharedReaders:
    """The reader every thread shares, replaced by a fresh one of the same
    file whenever it ends, so that the threads find records to share for the
    whole run; `made` keeps every one, to count what they gave."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.made = [ab.read(path)]

    def current(self):
        with self.lock:
            return self.made[-1]

    def renew(self):
        with self.lock:
            if self.made[-1].closed:
                self.made.append(ab.read(self.path))


class Worker(campaign.Worker):
    def __init__(self, index, seed, shared, deadline, readers):
        super().__init__(index, seed, shared, deadline)
        self.readers = readers
        self.taken = []  # records this thread took from the shared reader
        self.busy = 0  # ValueErrors from the shared reader

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
        draw = self.rng.random()
        if draw < 0.3:
            got = [(r.id, r.sequence) for r in ab.read(s.path)]
            self.check(got == s.records, "read(path)")
        elif draw < 0.5:
            # Batches gathered with the lock released, from BGZF whose blocks
            # a pool of threads decompresses.
            batches = ab.read(io.BytesIO(s.blocked), alphabet=s.dna, batch_size=7)
            got = [(r.id, r.sequence) for batch in batches for r in batch]
            self.check(
                got == [(rid, s.dna.encode_all(seq)) for rid, seq in s.records], "read(bgzf)"
            )
        else:
            got = [(r.id, r.sequence) for r in ab.read(io.BytesIO(s.zipped), alphabet=s.dna)]
            self.check(
                got == [(rid, s.dna.encode_all(seq)) for rid, seq in s.records], "read(gzip)"
            )

    def share_reader(self):
        reader = self.readers.current()
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

    def genome(self):
        s = self.shared
        rng = self.rng
        genome = rng.choice(s.genomes)
        start = rng.randrange(len(s.chromosome))
        end = min(len(s.chromosome), start + rng.choice([1, 1000, LONG]))
        if rng.random() < 0.5:
            got = genome.fetch("chr", start, end)
            self.check(got == s.chromosome[start:end], "genome fetch")
        else:
            got = genome.fetch(f"chr:{start + 1}-{end}", alphabet=s.dna.extend("N"))
            self.check(len(got) == end - start, "genome fetch as codes")

    OPERATIONS = [bulk, standard, read, share_reader, sequences, slots, genome]
    WEIGHTS = [4, 3, 2, 4, 5, 4, 3]


def main():
    args = campaign.start_stress(campaign.stress_options(__doc__))

    ab.dna()  # the package keeps the standard alphabet it hands out
    gc.collect()
    start = m.NumHandles()
    with tempfile.TemporaryDirectory(prefix="package-threads-") as folder:
        shared = Shared(args.seed, folder)
        readers = SharedReaders(shared.path)
        deadline = time.monotonic() + args.seconds
        workers = [Worker(i, args.seed, shared, deadline, readers) for i in range(args.threads)]
        started = time.monotonic()
        if campaign.run_workers("package_threads", workers, deadline, args.timeout, readers.renew):
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
        rest = [(r.id, r.sequence) for r in readers.made[-1]]
        expected = sorted(shared.records * len(readers.made))
        if sorted(taken + rest) != expected:
            problems.append(
                f"the shared readers gave {len(taken) + len(rest)} records, {len(expected)} expected"
            )
        ab.set_dna(shared.standard)
        ops = sum(w.ops for w in workers)
        busy = sum(w.busy for w in workers)
        del shared, workers, readers
    gc.collect()
    if m.NumHandles() != start:
        problems.append(f"NumHandles {m.NumHandles()} at the end, {start} at the start")
    return campaign.report(
        "package_threads",
        f"{args.threads} threads, {ops} operations in {time.monotonic() - started:.1f}s, "
        f"{appended} shared appends, {busy} busy refusals of the shared reader; "
        f"NumHandles back to {start}",
        problems,
    )


if __name__ == "__main__":
    sys.exit(main())
