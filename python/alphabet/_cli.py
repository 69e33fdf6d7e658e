"""The command line: python -m alphabet {encode,decode,symbols} ALPHABET [FILE ...]."""

from __future__ import annotations

import argparse
import array
import importlib
import os
import re
import sys
import zlib
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

from . import _fetch, _native, _version
from ._alphabets import Alphabet
from ._errors import AlphabetError
from ._reader import FormatError, read

PROG = "python -m alphabet"

# The standard alphabets by their command-line names, and the package
# function that gives each.
_STANDARD = {
    "dna": "dna",
    "rna": "rna",
    "protein": "protein",
    "iupac-dna": "iupac_dna",
    "iupac-rna": "iupac_rna",
    "extended-protein": "extended_protein",
}
# Status of a command whose output pipe closed, as a shell reports a tool
# that SIGPIPE ended (128 + 13).
_BROKEN_PIPE_STATUS = 141

_DESCRIPTION = """\
Encode sequences to codes and decode codes to sequences.

  encode ALPHABET [FILE ...]    the codes of every record of FASTA or FASTQ
                                files (gzip too): one line per record, its
                                id, a tab, then the codes
  encode ALPHABET --text SEQ    the codes of SEQ
  decode ALPHABET [FILE ...]    FASTA from lines of id<TAB>codes (a line of
                                codes alone gives the sequence alone)
  decode ALPHABET --text CODES  the sequence that CODES spell
  symbols ALPHABET              the symbols in code order

ALPHABET is dna, rna, protein, iupac-dna, iupac-rna or extended-protein;
--symbols ACGTN instead sets an alphabet of one symbol per character.  FILE
'-', or no FILE, reads standard input.  --format raw writes (for decode:
reads) the codes as bytes, one per code (two, little-endian, for alphabets
of more than 256 symbols).  Errors go to standard error as one line, with
exit status 1.
"""


class _Failure(Exception):
    """One line for standard error, and exit status 1."""


class _OutputFailure(Exception):
    """Writing the output failed with `error`."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class _Parser(argparse.ArgumentParser):
    # Every failure of this command, usage errors included, is one line with
    # status 1.
    def error(self, message: str) -> NoReturn:
        raise _Failure(f"{message} (see {self.prog} --help)")


def _version_text() -> str:
    in_tree = _version.source_tree_version()
    return f"{in_tree} (build tree)" if in_tree is not None else _version.version()


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG, description=_DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--version", action="version", version=f"alphabet {_version_text()}")
    chosen = _Parser(add_help=False)
    chosen.add_argument("alphabet", nargs="?", metavar="ALPHABET",
                        help=f"one of {', '.join(_STANDARD)}")  # fmt: skip
    chosen.add_argument("--symbols", metavar="SYMBOLS",
                        help="an alphabet of these symbols, one per character, instead of ALPHABET")  # fmt: skip
    chosen.add_argument("--ignore-case", action="store_true",
                        help="a symbol in the other case encodes as the symbol")  # fmt: skip
    chosen.add_argument("--unknown", metavar="SYMBOL",
                        help="encode symbols the alphabet does not hold as SYMBOL")  # fmt: skip
    chosen.add_argument("--alias", action="append", default=[], metavar="FROM=TO",
                        help="encode FROM as TO (repeatable)")  # fmt: skip
    io = _Parser(add_help=False)
    io.add_argument("files", nargs="*", metavar="FILE", help="input files; '-' is standard input")
    io.add_argument("--format", choices=("text", "raw"), default="text",
                    help="codes as decimal text (default) or as raw bytes")  # fmt: skip
    io.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)  # fmt: skip
    for name, help_text, text_help in (
        ("encode", "print the codes of sequences", "encode this sequence"),
        ("decode", "print the sequences that codes spell", "decode these codes ('2 0 3')"),
    ):
        command = commands.add_parser(name, parents=[chosen, io], help=help_text,
                                      description=help_text)  # fmt: skip
        command.add_argument("--text", metavar="TEXT", help=text_help)
    commands.add_parser("symbols", parents=[chosen], help="print the symbols in code order",
                        description="print the symbols in code order")  # fmt: skip
    _fetch.add_command(commands)
    return parser


def _alias(text: str) -> tuple[str, str]:
    source, equals, target = text.partition("=")
    if not equals or not source:
        raise _Failure(f"--alias takes FROM=TO, not {text!r}")
    return source, target


def _alphabet(args: argparse.Namespace) -> Alphabet:
    options: dict[str, Any] = {}
    if args.ignore_case:
        options["ignore_case"] = True
    if args.unknown is not None:
        options["unknown"] = args.unknown
    if args.alias:
        options["aliases"] = dict(map(_alias, args.alias))
    if args.symbols is not None:
        # With --symbols, a word in ALPHABET's place is the first FILE.
        if args.alphabet is not None and hasattr(args, "files"):
            args.files.insert(0, args.alphabet)
        elif args.alphabet is not None:
            raise _Failure(f"give ALPHABET or --symbols, not both (see {PROG} --help)")
        symbols: Sequence[str] = args.symbols
    else:
        if args.alphabet is None:
            raise _Failure(f"an ALPHABET or --symbols is required (see {PROG} --help)")
        name = args.alphabet.lower()
        if name not in _STANDARD:
            raise _Failure(
                f"unknown alphabet {args.alphabet!r}; expected {', '.join(_STANDARD)}"
                " (or --symbols)"
            )
        package = sys.modules[__name__.rpartition(".")[0]]
        factory: Callable[[], Alphabet | None] = getattr(package, _STANDARD[name])
        current = factory()
        if current is None:
            raise _Failure(f"the {name} alphabet has been cleared")
        if not options:
            return current
        symbols = current.symbols
    try:
        return Alphabet(symbols, **options)
    except ValueError as error:  # AlphabetError too: an option names no symbol, say
        raise _Failure(str(error)) from None


class _Output:
    """The output stream; a failure to write is an _OutputFailure."""

    def __init__(self, stream: IO[bytes], owned: bool) -> None:
        self._stream, self._owned = stream, owned

    def write(self, data: bytes | bytearray) -> None:
        try:
            self._stream.write(data)
        except OSError as error:
            raise _OutputFailure(error) from None

    def close(self) -> None:
        try:
            self._stream.close() if self._owned else self._stream.flush()
        except OSError as error:
            raise _OutputFailure(error) from None

    def abandon(self) -> None:
        """After a failure: what was written goes out if it can, and a stream
        that cannot take it is let go quietly, so that nothing tries again at
        exit (which would print a traceback and change the status)."""
        try:
            self.close()
        except _OutputFailure:
            if not self._owned:
                _silence_standard_output()


def _open_output(args: argparse.Namespace) -> _Output:
    if getattr(args, "output", None) is not None:
        try:
            return _Output(open(args.output, "wb"), owned=True)
        except OSError as error:
            raise _Failure(f"{args.output}: {error.strerror or error}") from None
    if sys.stdout is None:
        raise _Failure("standard output is closed")
    if (
        getattr(args, "format", "text") == "raw"
        and args.command == "encode"
        and sys.stdout.isatty()
    ):
        raise _Failure("raw codes go to a file (-o FILE) or a pipe, not to a terminal")
    return _Output(sys.stdout.buffer, owned=False)


def _code_text(codes: bytes | array.array[int]) -> bytes:
    """Codes as decimal numbers separated by spaces."""
    if isinstance(codes, bytes) or codes.typecode == "H":
        return _native.format_codes(codes)
    return " ".join(map(str, codes)).encode()


def _raw_codes(codes: bytes | array.array[int], wide: bool) -> bytes:
    if not wide:
        return codes if isinstance(codes, bytes) else bytes(codes)
    try:
        packed = array.array("H", codes)
    except OverflowError:
        raise _Failure("raw output holds codes below 65536 only") from None
    if sys.byteorder == "big":
        packed.byteswap()
    return packed.tobytes()


def _progress(sources: Sequence[str]) -> Any:
    """A progress bar over the input's bytes, on a terminal with tqdm installed."""
    if sys.stderr is None or not sys.stderr.isatty():
        return None
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    try:
        total = sum(os.path.getsize(s) for s in sources if s != "-" and not s.endswith(".gz"))
        known = all(s != "-" and not s.endswith(".gz") for s in sources)
    except OSError:
        known = False
    # Shown only once the input has taken a second: short inputs stay quiet.
    return tqdm(total=total if known else None, unit="B", unit_scale=True, delay=1.0,
                leave=False, file=sys.stderr)  # fmt: skip


def _input_failure(name: str, error: BaseException) -> _Failure:
    if isinstance(error, OSError) and error.strerror:
        return _Failure(f"{name}: {error.strerror}")
    return _Failure(f"{name}: {error}")


# Errors of reading an input: the file, its gzip layer, its records.
_INPUT_ERRORS = (OSError, EOFError, zlib.error, FormatError, AlphabetError, UnicodeDecodeError)


def _encode(args: argparse.Namespace, alphabet: Alphabet, out: _Output) -> None:
    wide = len(alphabet) > 256
    if args.text is not None:
        if args.files:
            raise _Failure("give FILEs or --text, not both")
        try:
            codes = alphabet.encode_all(args.text)
        except AlphabetError as error:
            raise _Failure(str(error)) from None
        out.write(_raw_codes(codes, wide) if args.format == "raw" else _code_text(codes) + b"\n")
        return
    sources = args.files or ["-"]
    bar = _progress(sources)
    try:
        for source in sources:
            name = "<stdin>" if source == "-" else source
            try:
                with read(source, alphabet=alphabet) as reader:
                    done = 0
                    for number, record in enumerate(reader):
                        if args.format == "raw":
                            out.write(_raw_codes(record.sequence, wide))
                        else:
                            out.write(
                                b"%s\t%s\n" % (record.id.encode(), _code_text(record.sequence))
                            )
                        if bar is not None and number % 1024 == 0:
                            bar.update(reader.bytes_read - done)
                            done = reader.bytes_read
                    if bar is not None:
                        bar.update(reader.bytes_read - done)
            except _INPUT_ERRORS as error:
                raise _input_failure(name, error) from None
    finally:
        if bar is not None:
            bar.close()


_CODE = re.compile(r"[+-]?[0-9]+")


def _codes_of(words: Sequence[str], where: str) -> list[int]:
    codes = []
    for word in words:
        # Plain decimal digits only: int() would also take '1_0' and other
        # scripts' digits.
        if not _CODE.fullmatch(word):
            raise _Failure(f"{where}not a code: {word!r}")
        codes.append(int(word))
    return codes


def _spell(alphabet: Alphabet, codes: Sequence[int] | bytes, where: str) -> bytes:
    try:
        if all(len(symbol) == 1 for symbol in alphabet.symbols):
            return alphabet.decode_str(codes).encode()
        return " ".join(alphabet.decode_all(codes)).encode()
    except AlphabetError as error:
        raise _Failure(f"{where}{error}") from None


def _input_streams(sources: Sequence[str]) -> Iterator[tuple[str, IO[bytes]]]:
    for source in sources:
        if source == "-":
            if sys.stdin is None:
                raise _Failure("standard input is closed")
            yield "<stdin>", sys.stdin.buffer
            continue
        try:
            stream = open(source, "rb")
        except OSError as error:
            raise _input_failure(source, error) from None
        with stream:
            yield source, stream


def _decode(args: argparse.Namespace, alphabet: Alphabet, out: _Output) -> None:
    wide = len(alphabet) > 256
    if args.text is not None:
        if args.files:
            raise _Failure("give FILEs or --text, not both")
        out.write(_spell(alphabet, _codes_of(args.text.replace(",", " ").split(), ""), "") + b"\n")
        return
    for name, stream in _input_streams(args.files or ["-"]):
        try:
            if args.format == "raw":
                data = stream.read()
                codes: Sequence[int] | bytes = data
                if wide:
                    if len(data) % 2:
                        raise _Failure(f"{name}: raw codes of this alphabet take two bytes each")
                    packed = array.array("H", data)
                    if sys.byteorder == "big":
                        packed.byteswap()
                    codes = packed
                out.write(_spell(alphabet, codes, f"{name}: ") + b"\n")
                continue
            for number, raw_line in enumerate(stream, 1):
                try:
                    line = raw_line.decode().rstrip("\r\n")
                except UnicodeDecodeError:
                    raise _Failure(f"{name}: line {number}: not UTF-8 text") from None
                if not line.strip():
                    continue
                rid, tab, words = line.rpartition("\t")
                where = f"{name}: line {number}" + (f" (record {rid!r})" if tab else "") + ": "
                text = _spell(alphabet, _codes_of(words.replace(",", " ").split(), where), where)
                out.write(b">%s\n%s\n" % (rid.encode(), text) if tab else text + b"\n")
        except _INPUT_ERRORS as error:
            raise _input_failure(name, error) from None


def _named_alphabet(name: str) -> Alphabet:
    return _alphabet(argparse.Namespace(alphabet=name, symbols=None, ignore_case=False,
                                        unknown=None, alias=[]))  # fmt: skip


def _run(args: argparse.Namespace) -> None:
    if args.command == "fetch":
        return _fetch.run(args, _open_output(args), _named_alphabet, _code_text)
    alphabet = _alphabet(args)
    out = _open_output(args)
    try:
        if args.command == "symbols":
            out.write(" ".join(alphabet.symbols).encode() + b"\n")
        elif args.command == "encode":
            _encode(args, alphabet, out)
        else:
            _decode(args, alphabet, out)
    except BaseException:
        out.abandon()
        raise
    out.close()


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    """The arguments; FILEs may come before and after options alike."""
    parser = _parser()
    args, extra = parser.parse_known_args(argv)
    unknown = [word for word in extra if word.startswith("-") and word != "-"]
    if unknown or (extra and not hasattr(args, "files")):
        parser.error(f"unrecognized arguments: {' '.join(unknown or extra)}")
    if extra:
        args.files += extra
    return args


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns the exit status (0, or 1 after an error)."""
    try:
        _run(_parse(argv))
    except (_Failure, _fetch.Failure) as failure:
        _complain(str(failure))
        return 1
    except _OutputFailure as failure:
        # Nothing more can reach the output: the interpreter's final flush
        # must not try again.
        _silence_standard_output()
        if isinstance(failure.error, BrokenPipeError):
            return _BROKEN_PIPE_STATUS  # the reader went away (`| head`): quietly
        _complain(f"cannot write the output: {failure.error.strerror or failure.error}")
        return 1
    except KeyboardInterrupt:
        _complain("interrupted")
        return 130
    return 0


def _complain(message: str) -> None:
    if sys.stderr is not None:
        print(f"{PROG}: {message}", file=sys.stderr)


def _silence_standard_output() -> None:
    if sys.stdout is None:
        return
    try:
        fileno = sys.stdout.fileno()
    except (OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fileno)
    os.close(devnull)
