#!/usr/bin/env python3
"""Many Python threads calling the library at once, on shared and private
handles, for a few seconds.

Each thread draws from a seeded mix: the bound calls that release the
interpreter lock (NewAlphabet, Encode, Decode, Extend, Symbols, the error's
message) on a shared alphabet large enough to keep them busy, sequence calls
on private sequences and on shared ones (reads, and appends whose total is
checked), IncRef/DecRef on shared handles, swaps of the DNA reference for
equal alphabets, and calls that must raise TypeError.  Every answer is
checked against what the thread knows.

Afterwards: no thread may be stuck (a thread still running after the join
timeout is a failure, and faulthandler dumps every thread's stack and ends
the process if the whole run overstays --timeout), the shared objects must
hold what they held plus exactly the appended elements, and NumHandles must
return to its starting value once the shared handles are let go.
"""

import importlib
import os
import sys
import time

import campaign
from campaign import helpers

# ALPHABET_MODULE names a stand-in for the module (the harness's own tests
# use one with a planted fault).
m = importlib.import_module(os.environ.get("ALPHABET_MODULE", "_alphabet"))

ACGT = ["A", "C", "G", "T"]


def texts_of(handle):
    return [m.Slice_string_elem(handle, i) for i in range(m.Slice_string_len(handle))]


class Shared:
    """Objects every thread uses, each taken up once by the main thread."""

    def __init__(self, symbols):
        self.symbols = [f"sym{i}" for i in range(symbols)]
        self.symbol_seq = helpers.strings(self.symbols, m)
        self.alphabet = m.alphabet_NewAlphabet(self.symbol_seq)
        self.error = m.alphabet_Error_CTor()
        self.counter = m.Slice_int64_CTor()  # every thread appends its index here
        self.dna = m.alphabet_DNA()
        self.handles = [self.symbol_seq, self.alphabet, self.error, self.counter, self.dna]
        for handle in self.handles:
            m.IncRef(handle)


class Worker(campaign.Worker):
    # -- the operations, each leaving no handle of its own behind --

    def encode_decode(self):
        s = self.shared
        code = self.rng.randrange(len(s.symbols))
        self.check(m.alphabet_Alphabet_Encode(s.alphabet, s.symbols[code]) == code, "Encode")
        self.check(m.alphabet_Alphabet_Decode(s.alphabet, str(code)) == s.symbols[code], "Decode")
        try:
            m.alphabet_Alphabet_Encode(s.alphabet, "missing")
        except RuntimeError as exc:
            self.check(str(exc) == "Symbol missing not in alphabet", f"message {exc}")
        else:
            self.check(False, "Encode of a missing symbol did not raise")

    def new_alphabet(self):
        s = self.shared
        alphabet = m.alphabet_NewAlphabet(s.symbol_seq)
        m.IncRef(alphabet)
        last = len(s.symbols) - 1
        self.check(m.alphabet_Alphabet_Encode(alphabet, s.symbols[last]) == last, "new alphabet")
        m.DecRef(alphabet)

    def extend(self):
        s = self.shared
        added = helpers.strings(["x", "y"], m)
        m.IncRef(added)
        extended = m.alphabet_Alphabet_Extend(s.alphabet, added)
        m.IncRef(extended)
        self.check(m.alphabet_Alphabet_Encode(extended, "y") == len(s.symbols) + 1, "Extend")
        m.DecRef(extended)
        m.DecRef(added)

    def symbols(self):
        s = self.shared
        listed = m.alphabet_Alphabet_Symbols(s.alphabet)
        m.IncRef(listed)
        self.check(m.Slice_string_len(listed) == len(s.symbols), "Symbols length")
        i = self.rng.randrange(len(s.symbols))
        self.check(m.Slice_string_elem(listed, i) == s.symbols[i], "Symbols element")
        m.Slice_string_set(listed, i, "changed")  # a private copy: the alphabet keeps its own
        m.DecRef(listed)

    def errors(self):
        s = self.shared
        self.check(m.alphabet_Error_Error(s.error) == "", "shared error")
        mine = m.alphabet_Error_CTor()
        m.IncRef(mine)
        self.check(m.alphabet_Error_Error(mine) == "", "private error")
        m.DecRef(mine)

    def take_shared(self):
        # Take every shared handle up a few times, use them, let go again.
        s = self.shared
        times = self.rng.randrange(1, 4)
        for _ in range(times):
            for handle in s.handles:
                m.IncRef(handle)
        self.check(m.Slice_string_len(s.symbol_seq) == len(s.symbols), "shared symbols")
        self.check(m.alphabet_Alphabet_Encode(s.dna, "G") == 2, "shared DNA")
        for _ in range(times):
            for handle in reversed(s.handles):
                m.DecRef(handle)

    def sequences(self):
        rng = self.rng
        seq = m.Slice_int32_CTor()
        m.IncRef(seq)
        values = [rng.randrange(-(2**31), 2**31) for _ in range(rng.randrange(1, 20))]
        for value in values:
            m.Slice_int32_append(seq, value)
        view = m.Slice_rune_subslice(seq, 0, len(values))  # rune shares int32 storage
        m.IncRef(view)
        m.Slice_rune_set(view, 0, 7)
        values[0] = 7
        got = [m.Slice_int32_elem(seq, i) for i in range(m.Slice_int32_len(seq))]
        self.check(got == values, f"private sequence {got} != {values}")
        m.DecRef(view)
        m.DecRef(seq)
        # Shared: appends from every thread must all land.
        m.Slice_int64_append(self.shared.counter, self.index)
        self.appended += 1

    def swap_dna(self):
        # Points the DNA reference at an equal alphabet, so that every
        # thread's answers stay the same whichever alphabet it reads.
        acgt = helpers.strings(ACGT, m)
        m.IncRef(acgt)
        fresh = m.alphabet_NewAlphabet(acgt)
        m.IncRef(fresh)
        m.alphabet_Set_DNA(fresh)
        dna = m.alphabet_DNA()
        m.IncRef(dna)
        self.check(m.alphabet_Alphabet_Decode(dna, "3") == "T", "DNA after swap")
        for handle in (dna, fresh, acgt):
            m.DecRef(handle)

    def wrong_kind(self):
        s = self.shared
        for call in (
            lambda: m.alphabet_Alphabet_Encode(s.symbol_seq, "A"),
            lambda: m.alphabet_Error_Error(s.alphabet),
            lambda: m.Slice_string_len(s.counter),
        ):
            try:
                call()
            except TypeError:
                continue
            self.check(False, "a wrong-kind handle did not raise TypeError")

    OPERATIONS = [
        encode_decode,
        new_alphabet,
        extend,
        symbols,
        errors,
        take_shared,
        sequences,
        swap_dna,
        wrong_kind,
    ]
    WEIGHTS = [6, 2, 1, 2, 3, 4, 5, 1, 2]


def main():
    parser = campaign.stress_options(__doc__)
    parser.add_argument(
        "--symbols", type=int, default=2000, help="size of the shared alphabet (longer bound calls)"
    )
    args = campaign.start_stress(parser)

    start = m.NumHandles()
    shared = Shared(args.symbols)
    counter_before = m.Slice_int64_len(shared.counter)
    deadline = time.monotonic() + args.seconds
    workers = [Worker(i, args.seed, shared, deadline) for i in range(args.threads)]
    started = time.monotonic()
    if campaign.run_workers("threads", workers, deadline, args.timeout):
        return 1

    problems = []
    appended = sum(w.appended for w in workers)
    if m.Slice_int64_len(shared.counter) != counter_before + appended:
        problems.append(
            f"shared sequence has {m.Slice_int64_len(shared.counter)} elements, "
            f"{appended} were appended"
        )
    per_thread = [0] * args.threads
    for i in range(m.Slice_int64_len(shared.counter)):
        per_thread[m.Slice_int64_elem(shared.counter, i)] += 1
    if per_thread != [w.appended for w in workers]:
        problems.append(f"appends per thread {per_thread}, made {[w.appended for w in workers]}")
    if texts_of(shared.symbol_seq) != shared.symbols:
        problems.append("the shared symbol sequence changed")
    if m.alphabet_Alphabet_Encode(shared.alphabet, shared.symbols[-1]) != len(shared.symbols) - 1:
        problems.append("the shared alphabet changed")
    if m.NumHandles() != start + len(shared.handles):
        problems.append(
            f"NumHandles {m.NumHandles()} with only the shared handles alive, "
            f"expected {start + len(shared.handles)}"
        )
    m.alphabet_Set_DNA(shared.dna)
    for handle in shared.handles:
        m.DecRef(handle)
    if m.NumHandles() != start:
        problems.append(f"NumHandles {m.NumHandles()} at the end, {start} at the start")
    ops = sum(w.ops for w in workers)
    return campaign.report(
        "threads",
        f"{args.threads} threads, {ops} operations in {time.monotonic() - started:.1f}s, "
        f"{appended} shared appends; NumHandles back to {start}",
        problems,
    )


if __name__ == "__main__":
    sys.exit(main())
