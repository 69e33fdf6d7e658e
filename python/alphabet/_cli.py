"""The command line: python -m alphabet {encode,decode,symbols} ALPHABET [FILE ...]."""

from __future__ import annotations

import argparse
import array
import gzip
import importlib
import os
import re
import stat
import sys
import zlib
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, NoReturn

from . import _fetch, _native, _version
from ._alphabets import Alphabet
from ._errors import AlphabetError
from ._reader import FormatError, Record, read
from ._writer import Writer

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
# The layouts of codes that encode writes and decode reads.
_FORMATS = ("text", "fasta", "fastq", "raw")
# Bytes of the count before each record's raw codes.
_RAW_COUNT = 8
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
'-', or no FILE, reads standard input; decode reads gzip too.

--format (encode writes it, decode reads it):
  text   id<TAB>codes, one line per record (the default)
  fasta  FASTA with the codes in the sequence's place, one line each:
         '>header' then the codes; decode gives the FASTA back
  fastq  the same for FASTQ: '@header', the codes, '+', the quality;
         decode gives the FASTQ back
  raw    per record: its number of codes as 8 bytes (unsigned,
         little-endian), then its codes, one byte each (two, little-endian,
         for alphabets of more than 256 symbols); decode gives each
         record's sequence on a line
decode writes FASTA in lines of --line-width characters (60; 0: one line).
Errors go to standard error as one line, with exit status 1.
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
    io.add_argument("--format", choices=_FORMATS, default="text",
                    help="the layout of the codes: text (default), fasta, fastq or raw")  # fmt: skip
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
        if name == "decode":
            command.add_argument("--line-width", type=int, default=60, metavar="N",
                                 help="FASTA lines of N characters (0: one line)")  # fmt: skip
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

    def flush(self) -> None:
        try:
            self._stream.flush()
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


def _refuse_an_input_as_output(output: str, sources: Sequence[str]) -> None:
    """A _Failure when the file `output` names is one of the inputs (through
    a link, say): opening it for writing would empty it before it is read."""
    try:
        target = os.stat(output)
    except OSError:
        return  # not there yet, or unusable: opening it says which
    if not stat.S_ISREG(target.st_mode):
        return  # a device or a pipe loses nothing by being opened
    for source in sources:
        try:
            found = os.fstat(sys.stdin.fileno()) if source == "-" else os.stat(source)
        except (OSError, ValueError, AttributeError):
            continue  # reading it fails on its own, after this
        if (found.st_dev, found.st_ino) == (target.st_dev, target.st_ino):
            name = "standard input" if source == "-" else source
            raise _Failure(f"{output}: the output is an input ({name}); write to another file")


def _open_output(args: argparse.Namespace) -> _Output:
    if getattr(args, "output", None) is not None:
        if getattr(args, "text", None) is None and hasattr(args, "files"):
            _refuse_an_input_as_output(args.output, args.files or ["-"])
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
    layout = _encoded_layout(args.format, wide)
    sources = args.files or ["-"]
    bar = _progress(sources)
    try:
        for source in sources:
            name = "<stdin>" if source == "-" else source
            try:
                with read(source, alphabet=alphabet) as reader:
                    done = 0
                    for number, record in enumerate(reader):
                        try:
                            out.write(layout(record))
                        except _Failure as failure:
                            raise _Failure(f"{name}: {failure}") from None
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


def _header(record: Record[Any]) -> bytes:
    text = record.id + (" " + record.description if record.description else "")
    return _line(text.encode())


def _line(text: bytes) -> bytes:
    """`text` and its line end: "\r\n" after a text that ends in "\r", so that
    a reader, which takes "\r\n" for a line end, keeps it."""
    return text + (b"\r\n" if text.endswith(b"\r") else b"\n")


def _encoded_layout(name: str, wide: bool) -> Callable[[Record[Any]], bytes]:
    """How encode writes one record in the layout `name`."""
    if name == "raw":

        def raw(record: Record[Any]) -> bytes:
            count = len(record.sequence).to_bytes(_RAW_COUNT, "little")
            return count + _raw_codes(record.sequence, wide)

        return raw
    if name == "fasta":
        return lambda record: b">" + _header(record) + _code_text(record.sequence) + b"\n"
    if name == "fastq":

        def fastq(record: Record[Any]) -> bytes:
            quality = record.quality
            if quality is None:
                raise _Failure(
                    f"record {record.id!r} has no quality: FASTA input needs --format fasta"
                )
            # The command line reads qualities as text (a str), not as scores.
            text = quality.encode() if isinstance(quality, str) else quality
            return b"".join((b"@", _header(record), _code_text(record.sequence), b"\n+\n",
                             _line(text)))  # fmt: skip

        return fastq
    return lambda record: b"%s\t%s\n" % (record.id.encode(), _code_text(record.sequence))


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
    """Each input as a binary stream, gzip unpacked."""
    for source in sources:
        if source == "-":
            if sys.stdin is None:
                raise _Failure("standard input is closed")
            yield "<stdin>", _unzipped(sys.stdin.buffer)
            continue
        try:
            stream = open(source, "rb")
        except OSError as error:
            raise _input_failure(source, error) from None
        with stream:
            yield source, _unzipped(stream)


def _unzipped(stream: IO[bytes]) -> IO[bytes]:
    """`stream`, or what it unpacks to when it holds gzip."""
    peek = getattr(stream, "peek", None)
    if peek is not None and peek(2)[:2] == b"\x1f\x8b":
        return gzip.GzipFile(fileobj=stream, mode="rb")  # type: ignore[return-value]
    return stream


def _line_text(raw_line: bytes) -> bytes:
    """A line without its line end ("\n", or "\r\n")."""
    line = raw_line[:-1] if raw_line.endswith(b"\n") else raw_line
    return line[:-1] if line.endswith(b"\r") else line


def _parsed_codes(
    alphabet: Alphabet, words: bytes, where: str
) -> bytes | array.array[int] | list[int]:
    """The codes that `words` spell in decimal, each one checked to be in the alphabet."""
    try:
        codes: bytes | array.array[int] | list[int] = _native.parse_codes(words)
    except ValueError:
        # Signs, other scripts' spaces, or a mistake: the exact message comes
        # from the slower check, word by word.
        try:
            text = words.decode()
        except UnicodeDecodeError:
            raise _Failure(f"{where}: not UTF-8 text") from None
        codes = _codes_of(text.replace(",", " ").split(), f"{where}: " if where else "")
    if codes and (min(codes) < 0 or max(codes) >= len(alphabet)):
        _spell(alphabet, codes, f"{where}: " if where else "")  # raises, naming the code
    return codes


def _decode(args: argparse.Namespace, alphabet: Alphabet, out: _Output) -> None:
    wide = len(alphabet) > 256
    if args.text is not None:
        if args.files:
            raise _Failure("give FILEs or --text, not both")
        out.write(_spell(alphabet, _codes_of(args.text.replace(",", " ").split(), ""), "") + b"\n")
        return
    if args.line_width < 0:
        raise _Failure(f"--line-width must be 0 or more, not {args.line_width}")
    fastq = args.format == "fastq"
    writer = Writer(out, alphabet=alphabet, format="fastq" if fastq else "fasta",
                    line_width=args.line_width, threads=0)  # fmt: skip
    try:
        for name, stream in _input_streams(args.files or ["-"]):
            try:
                if args.format == "raw":
                    _decode_raw(stream, name, alphabet, wide, writer, out)
                elif args.format == "text":
                    _decode_text(stream, name, alphabet, writer, out)
                else:
                    _decode_records(stream, name, alphabet, fastq, writer)
            except _INPUT_ERRORS as error:
                raise _input_failure(name, error) from None
    except BaseException:
        # The first failure is the one to tell: an output that cannot take
        # the records written before it says nothing more.
        try:
            writer.close()
        except _OutputFailure:
            pass
        raise
    writer.close()


def _decode_raw(
    stream: IO[bytes], name: str, alphabet: Alphabet, wide: bool, writer: Writer, out: _Output
) -> None:
    """Records of raw codes, each's sequence on a line of its own."""
    width = 2 if wide else 1
    for number in range(1, sys.maxsize):
        head = stream.read(_RAW_COUNT)
        if not head:
            return
        count = int.from_bytes(head, "little")
        data = stream.read(count * width) if len(head) == _RAW_COUNT else b""
        if len(head) < _RAW_COUNT or len(data) < count * width:
            raise _Failure(f"{name}: the raw codes end inside record {number}")
        codes: bytes | array.array[int] = data
        if wide:
            codes = array.array("H", data)
            if sys.byteorder == "big":
                codes.byteswap()
        writer.flush()
        out.write(_spell(alphabet, codes, f"{name}: record {number}: ") + b"\n")


def _decode_text(
    stream: IO[bytes], name: str, alphabet: Alphabet, writer: Writer, out: _Output
) -> None:
    """Lines of id<TAB>codes as FASTA; a line of codes alone as its sequence."""
    write, parse = writer.write, _native.parse_codes
    for number, raw_line in enumerate(stream, 1):
        line = raw_line.rstrip(b"\r\n")
        if not line or line.isspace():
            continue
        raw_id, tab, words = line.rpartition(b"\t")
        if tab:
            # The way of nearly every line: the writer decodes the codes
            # natively, and a line it refuses is looked at again below.
            try:
                write((raw_id.decode(), parse(words)))
                continue
            except ValueError:  # AlphabetError and UnicodeDecodeError too
                pass
        try:
            rid = raw_id.decode()
        except UnicodeDecodeError:
            raise _Failure(f"{name}: line {number}: not UTF-8 text") from None
        where = f"{name}: line {number}" + (f" (record {rid!r})" if tab else "")
        codes = _parsed_codes(alphabet, words, where)
        if tab:
            _write_record(writer, (rid, codes), where)
        else:
            writer.flush()
            out.write(_spell(alphabet, codes, where + ": ") + b"\n")


def _write_record(writer: Writer, record: tuple[Any, ...], where: str) -> None:
    try:
        writer.write(record)
    except AlphabetError:
        raise
    except ValueError as error:  # a sequence FASTA or FASTQ cannot hold
        raise _Failure(f"{where}: {error}") from None


def _decode_records(
    stream: IO[bytes], name: str, alphabet: Alphabet, fastq: bool, writer: Writer
) -> None:
    """encode's FASTA or FASTQ layout back to FASTA or FASTQ."""
    mark = b"@" if fastq else b">"
    lines = enumerate(stream, 1)
    for number, raw_line in lines:
        header = _line_text(raw_line)
        if not header.strip():
            continue
        if not header.startswith(mark):
            raise _Failure(f"{name}: line {number}: expected a header line starting with "
                           f"{mark.decode()!r}, found {_shown(header)}")  # fmt: skip
        wanted = 3 if fastq else 1
        rest = [_line_text(line) for _, (_, line) in zip(range(wanted), lines, strict=False)]
        if len(rest) < wanted or (fastq and not rest[1].startswith(b"+")):
            raise _Failure(f"{name}: line {number}: the record is cut short or has no '+' line")
        try:
            text = header[1:].decode()
            quality = rest[2].decode() if fastq else None
        except UnicodeDecodeError:
            raise _Failure(f"{name}: line {number}: not UTF-8 text") from None
        rid = (text.split(maxsplit=1) or [""])[0]
        where = f"{name}: line {number + 1} (record {rid!r})"
        codes = _parsed_codes(alphabet, rest[0], where)
        # The whole header as the id: it is written back as it was.
        _write_record(writer, (text, codes, quality) if fastq else (text, codes), where)


def _shown(line: bytes) -> str:
    return repr(line.decode(errors="backslashreplace"))


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
    """The arguments; FILEs may come before and after options alike, and
    every word after `--` is a FILE, whatever it starts with."""
    parser = _parser()
    words = list(sys.argv[1:] if argv is None else argv)
    tail: list[str] = []
    if "--" in words:
        # The subcommand's parser never sees the `--` that the main parser
        # takes: the words after it are split off here.
        at = words.index("--")
        words, tail = words[:at], words[at + 1 :]
    args, extra = parser.parse_known_args(words)
    unknown = [word for word in extra if word.startswith("-") and word != "-"]
    if unknown or ((extra or tail) and not hasattr(args, "files")):
        parser.error(f"unrecognized arguments: {' '.join(unknown or extra or tail)}")
    if extra or tail:
        args.files += extra + tail
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
    except MemoryError:
        _complain("out of memory (a record too large for this machine?)")
        return 1
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
