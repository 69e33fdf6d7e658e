#!/usr/bin/env python3
"""Seeded random use of the alphabet package, and of alphabet._native directly,
with hostile arguments.

An episode is the sequence of actions drawn from one seed.  Actions make and
use alphabets (with every option, the standard and extended ones, with_options,
extend, from_handle), encode and decode texts, buffers of every item format
and byte order, and iterables, take reverse complements and k-mers, make typed
sequences of every kind from lists, iterables, other sequences and buffers,
change them through views, iterate them while they grow, export their typed
buffers, pickle and copy everything, read generated FASTA and FASTQ (valid or
corrupted) from paths, gzip, file objects and misbehaving file objects, write
records of every shape (and hostile ones) to paths, gzip and failing outputs
and read them back, and
call the native module's own functions (Codec, reverse_translate, kmers,
format_codes, Reader, adopt, new_alphabet, ...) with arguments that fight
back: objects whose __index__, __float__, __bool__, __buffer__, __iter__,
readinto or read raise, return the wrong type or size, interrupt (as Ctrl-C
does), call back into the package in the same thread or in another one, or
change what is being read; huge and negative sizes; a timer interrupt landing
inside a long native loop.

What is checked after every action:
  * the exception is one the API documents (TypeError, ValueError and its
    AlphabetError and FormatError, IndexError, OverflowError, BufferError,
    OSError from the reader's sources; MemoryError only for a huge size drawn
    on purpose), or the very exception a hostile object raised;
  * NumHandles equals the number of registry entries that live package
    objects own, each tracked by a weak reference: no entry leaks, none is
    let go while an object still owns it;
  * results agree with a reference: bulk encoding and decoding with the
    one-symbol path (for plain alphabets, the library's own), reverse
    complements and k-mers with a pure-Python computation, sequences with a
    model of their storage blocks (views share them, appends move a full
    sequence alone to a block of twice the size), a failed bulk fill or
    extend with no change at all, FASTA and FASTQ with the records written
    (valid input) or with the same bytes read from every other kind of
    source (corrupted input).
At the end of the episode witness objects that no action saw must be as they
were, and NumHandles back where it started.

Campaign, as CI runs it (episodes seed, seed+1, ... in a child process until
the time is up; a crash or hang is reported with the seed and action count):
    python reliability/package_fuzz.py --time 120 --seed 1
Replay one episode in this process, printing every action:
    python reliability/package_fuzz.py --seed N --calls K -v

The actions live in a file per room: package_fuzz_alphabets.py,
package_fuzz_sequences.py, package_fuzz_reader.py, package_fuzz_writer.py,
package_fuzz_genome.py (genomes opened by their index), package_fuzz_native.py
(the native module called directly) and package_fuzz_models.py (batches,
one-hot rows, translation, k-mers).  What they share: the hostile
arguments in package_fuzz_hostile.py, the bookkeeping of an episode in
package_fuzz_episode.py.
"""

import random
import sys
import tempfile
import warnings

import campaign
from package_fuzz_alphabets import AlphabetActions
from package_fuzz_episode import Episode
from package_fuzz_genome import GenomeActions
from package_fuzz_models import ModelActions
from package_fuzz_native import NativeActions
from package_fuzz_reader import ReaderActions
from package_fuzz_sequences import SequenceActions
from package_fuzz_writer import WriterActions

# Hostile objects use deprecated protocols on purpose (__float__ giving a
# float subclass, say); their warnings are not findings.
warnings.simplefilter("ignore")


class Fuzzer(
    AlphabetActions,
    SequenceActions,
    ReaderActions,
    WriterActions,
    GenomeActions,
    NativeActions,
    ModelActions,
    Episode,
):
    """The rooms' actions, each drawn by its weight."""

    WEIGHTS = [
        ("new_alphabet", 6),
        ("standard", 2),
        ("reshape_alphabet", 4),
        ("encode", 10),
        ("decode", 8),
        ("complement_and_kmers", 6),
        ("new_sequence", 8),
        ("change_sequence", 14),
        ("interrupted_bulk", 1),
        ("read_files", 3),
        ("read_pairs", 1),
        ("misbehaving_source", 2),
        ("write_records", 3),
        ("write_hostile", 2),
        ("genome_access", 2),
        ("native_codec", 3),
        ("native_bulk", 5),
        ("native_objects", 5),
        ("batches", 3),
        ("translation_and_kmers", 3),
        ("drop", 4),
    ]


def run_child(args):
    fuzzer = Fuzzer(0, workdir=tempfile.mkdtemp(prefix="package-fuzz-"))
    fuzzer.catch_unraisable()

    def episode(seed, progress):
        fuzzer.rng = random.Random(seed)
        fuzzer.episode(args.calls, progress, seed)
        fuzzer.check_unraisable()

    def summary():
        return {"calls": fuzzer.calls, "counts": fuzzer.counts, "raised": fuzzer.raised}

    return campaign.run_child("package_fuzz", args, episode, summary)


def run_campaign(args):
    outcome = campaign.run_campaign("package_fuzz", args)
    if outcome.code != 0:
        return outcome.failed("package_fuzz", outcome.lines)
    result = outcome.summary
    last = args.seed + result["episodes"] - 1
    print(
        f"package_fuzz: {result['episodes']} episodes (seeds {args.seed}..{last}), "
        f"{result['calls']} calls in {sum(result['counts'].values())} actions of "
        f"{len(result['counts'])} kinds in "
        f"{outcome.seconds:.0f}s; exceptions: {dict(sorted(result['raised'].items()))}"
    )
    if outcome.lines:
        print(
            "package_fuzz: FAILED: unexpected output on stderr:\n" + "\n".join(outcome.lines[:50]),
            file=sys.stderr,
        )
        return 1
    return 0


def run_replay(args):
    fuzzer = Fuzzer(args.seed, campaign.replay_log(args))
    fuzzer.catch_unraisable()

    def episode():
        fuzzer.episode(args.calls, seed=args.seed)
        fuzzer.check_unraisable()
        return ""

    return campaign.replay("package_fuzz", args, fuzzer, episode)


if __name__ == "__main__":
    sys.exit(
        campaign.main(__doc__, 150, "actions per episode", run_child, run_campaign, run_replay)
    )
