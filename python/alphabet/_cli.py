"""The command line: python -m alphabet {encode,decode,symbols} ALPHABET [ITEM ...]."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import NoReturn, TextIO

from ._alphabets import Alphabet, dna, protein, rna
from ._errors import AlphabetError

_STANDARD = {"dna": dna, "rna": rna, "protein": protein}
_DECIMAL = [str(code) for code in range(256)]

_DESCRIPTION = """\
Encode texts to codes and decode codes to texts with a standard alphabet.

  encode ALPHABET [TEXT ...]   the codes of each TEXT, one line per TEXT
  decode ALPHABET [CODE ...]   the text that the CODEs spell
  symbols ALPHABET             the symbols in code order

Without TEXT or CODE arguments the input is read from standard input:
for encode, FASTA or plain sequence lines (lines starting with '>' are
headers; one output line per record); for decode, one line of codes per
output line.  Codes are written and read as decimal numbers separated by
spaces.
"""


class _UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    # Every failure of this command, usage errors included, exits with status 1.
    def error(self, message: str) -> NoReturn:
        raise _UsageError(f"{self.format_usage()}{self.prog}: error: {message}")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m alphabet",
        description=_DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, items, help_text in (
        ("encode", "TEXT", "print the codes of each TEXT (or of standard input)"),
        ("decode", "CODE", "print the text that the CODEs (or standard input) spell"),
        ("symbols", None, "print the symbols in code order"),
    ):
        command = commands.add_parser(name, help=help_text, description=help_text)
        command.add_argument("alphabet", metavar="ALPHABET", help="dna, rna or protein")
        if items:
            command.add_argument("items", nargs="*", metavar=items)
    return parser


def _alphabet(name: str) -> Alphabet:
    try:
        current = _STANDARD[name.lower()]()
    except KeyError:
        raise _UsageError(f"unknown alphabet {name!r}; expected dna, rna or protein") from None
    if current is None:
        raise AlphabetError(f"the {name} alphabet has been cleared")
    return current


def _records(lines: Iterable[str]) -> Iterator[str]:
    """The sequences of FASTA input, or of plain lines (then one sequence)."""
    parts: list[str] = []
    started = False
    for line in lines:
        if line.startswith(">"):
            if started:
                yield "".join(parts)
            parts, started = [], True
        else:
            parts.append("".join(line.split()))
            started = started or bool(parts[-1])
    if started:
        yield "".join(parts)


def _code_line(codes: bytes | Iterable[int]) -> str:
    if isinstance(codes, bytes):
        return " ".join(map(_DECIMAL.__getitem__, codes))
    return " ".join(map(str, codes))


def _text(alphabet: Alphabet, codes: list[int]) -> str:
    if all(len(symbol) == 1 for symbol in alphabet.symbols):
        return alphabet.decode_str(codes)
    return " ".join(alphabet.decode_all(codes))


def _parse_codes(words: Iterable[str]) -> list[int]:
    codes = []
    for word in words:
        try:
            codes.append(int(word))
        except ValueError:
            raise _UsageError(f"not a code: {word!r}") from None
    return codes


def _run(args: argparse.Namespace, stdin: TextIO, stdout: TextIO) -> None:
    alphabet = _alphabet(args.alphabet)
    if args.command == "symbols":
        stdout.write(" ".join(alphabet.symbols) + "\n")
    elif args.command == "encode":
        texts = args.items or _records(stdin)
        for number, text in enumerate(texts, 1):
            try:
                stdout.write(_code_line(alphabet.encode_all(text)) + "\n")
            except AlphabetError as error:
                raise AlphabetError(f"sequence {number}: {error}", error.position) from None
    elif args.items:
        stdout.write(_text(alphabet, _parse_codes(args.items)) + "\n")
    else:
        for number, line in enumerate(stdin, 1):
            try:
                stdout.write(_text(alphabet, _parse_codes(line.split())) + "\n")
            except AlphabetError as error:
                raise AlphabetError(f"line {number}: {error}", error.position) from None


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status (0, or 1 after an error)."""
    parser = _parser()
    try:
        _run(parser.parse_args(argv), sys.stdin, sys.stdout)
        sys.stdout.flush()
    except _UsageError as error:
        message = str(error)
        if not message.startswith("usage:"):
            message = f"{parser.format_usage()}{parser.prog}: error: {message}"
        print(message, file=sys.stderr)
        return 1
    except AlphabetError as error:
        print(f"{parser.prog}: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); stop quietly, and keep the
        # interpreter's final flush from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
