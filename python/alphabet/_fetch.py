"""The command line's fetch: regions of an indexed FASTA file, printed as
FASTA exactly as `samtools faidx FASTA REGION...` prints them, or as codes
(`--codes ALPHABET`) in the lines that `encode` prints.

Kept apart from _cli.py, which only adds the command and hands it its
arguments, its output and the way it names alphabets.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable
from typing import Any, Protocol

from ._alphabets import Alphabet
from ._errors import AlphabetError
from ._genome import Fasta
from ._reader import FormatError

HELP = "print regions of an indexed FASTA file (as samtools faidx does)"


class Output(Protocol):
    def write(self, data: bytes | bytearray) -> None: ...
    def close(self) -> None: ...
    def abandon(self) -> None: ...


class Failure(Exception):
    """One line for standard error, and exit status 1."""


def add_command(commands: Any) -> None:
    """Adds `fetch` to the command line's subcommands."""
    command = commands.add_parser("fetch", help=HELP, description=HELP)
    command.add_argument("fasta", metavar="FASTA", help="a FASTA file, plain or BGZF")
    command.add_argument("regions", nargs="*", metavar="REGION",
                         help="chr, chr:from or chr:from-to (1-based, inclusive)")  # fmt: skip
    command.add_argument("--codes", metavar="ALPHABET",
                         help="print each region's codes in this alphabet, as encode does")  # fmt: skip
    command.add_argument("-i", "--reverse-complement", action="store_true",
                         help="reverse-complement each region (its name gets /rc)")  # fmt: skip
    command.add_argument("-n", "--length", type=int, default=60, metavar="N",
                         help="bases per line of FASTA output (default 60)")  # fmt: skip
    command.add_argument("-c", "--continue", dest="keep_going", action="store_true",
                         help="go on after a region that cannot be fetched")  # fmt: skip
    command.add_argument("-o", "--output", metavar="FILE",
                         help="write here instead of standard output")  # fmt: skip


def _lines(text: bytes, width: int) -> bytes:
    if not text:
        return b""
    if width <= 0:
        return text + b"\n"
    return b"".join(text[i : i + width] + b"\n" for i in range(0, len(text), width))


def _warn(message: str) -> None:
    if sys.stderr is not None:
        print(f"alphabet fetch: {message}", file=sys.stderr)


def run(
    args: argparse.Namespace,
    out: Output,
    alphabet_named: Callable[[str], Alphabet],
    code_text: Callable[[Any], bytes],
) -> None:
    """Prints every region; raises Failure for the first that cannot be
    fetched (after its header, as samtools does), or at the end with
    --continue.  Closes `out`."""
    try:
        _fetch_all(args, out, alphabet_named, code_text)
    except BaseException:
        out.abandon()
        raise
    out.close()


def _fetch_all(
    args: argparse.Namespace,
    out: Output,
    alphabet_named: Callable[[str], Alphabet],
    code_text: Callable[[Any], bytes],
) -> None:
    alphabet = alphabet_named(args.codes) if args.codes is not None else None
    try:
        genome = Fasta(args.fasta)
    except (OSError, ValueError) as error:
        raise Failure(f"{args.fasta}: {getattr(error, 'strerror', None) or error}") from None
    failed = None
    with genome:
        for region in args.regions:
            name = region + ("/rc" if args.reverse_complement else "")
            try:
                located, start, end, truncated = genome.resolve(region)
                if truncated:
                    _warn(f"truncated sequence: {region}")
                elif start == end:
                    _warn(f"zero length sequence: {region}")
                fetched = genome.fetch(located, start, end, alphabet=alphabet,
                                       reverse_complement=args.reverse_complement)  # fmt: skip
            except (KeyError, ValueError, TypeError, OSError, FormatError, AlphabetError) as error:
                reason = f"no sequence {error.args[0]!r}" if isinstance(error, KeyError) else error
                if alphabet is None:
                    out.write(b">%s\n" % name.encode(errors="surrogateescape"))
                failed = f"{args.fasta}: region {region!r}: {reason}"
                if not args.keep_going:
                    raise Failure(failed) from None
                _warn(failed)
                continue
            if alphabet is not None:
                out.write(b"%s\t%s\n" % (name.encode(errors="surrogateescape"), code_text(fetched)))
            else:
                assert isinstance(fetched, str)
                text = fetched.encode("ascii")
                out.write(
                    b">%s\n%s" % (name.encode(errors="surrogateescape"), _lines(text, args.length))
                )
    if failed is not None:
        raise Failure("some regions could not be fetched")
