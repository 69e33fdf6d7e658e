"""python -m alphabet, run as a command: files, pipes, standard input, literals,
raw codes, options, and every way it can fail (one line, status 1)."""

import gzip
import os
import subprocess
import sys

import pytest

import alphabet as ab

PROG = "python -m alphabet"
FASTA = b">r1 first\nGATT\nACA\n>r2\n\nCC\n"
FASTQ = b"@q1\nACGT\n+\nIIII\n@q2\nT\n+\n#\n"


def cli(*argv, stdin=b"", stdin_file=None, **options):
    options.setdefault("stdout", subprocess.PIPE)
    if stdin is not None:
        options["input"] = stdin
    if stdin_file is not None:
        options["stdin"] = stdin_file
    proc = subprocess.run([sys.executable, "-m", "alphabet", *map(str, argv)],
                          stderr=subprocess.PIPE, timeout=60, **options)  # fmt: skip
    return proc.returncode, (proc.stdout or b"").decode(), proc.stderr.decode()


def message_of(call):
    try:
        call()
    except ValueError as error:  # AlphabetError is one
        return str(error)
    raise AssertionError("no ValueError")


@pytest.fixture
def files(tmp_path):
    (tmp_path / "reads.fa").write_bytes(FASTA)
    (tmp_path / "reads.fq.gz").write_bytes(gzip.compress(FASTQ))
    return tmp_path


@pytest.mark.parametrize(
    "argv, stdin, out",
    [
        (["encode", "dna", "--text", "GATTACA"], b"", "2 0 3 3 0 1 0\n"),
        (["encode", "protein", "--text", "MKW"], b"", "10 8 18\n"),
        (["encode", "--symbols", "ABCDEFGHIJKL", "--text", "LAK"], b"", "11 0 10\n"),
        (["encode", "dna"], FASTA, "r1\t2 0 3 3 0 1 0\nr2\t1 1\n"),
        (["encode", "dna", "-"], gzip.compress(FASTQ), "q1\t0 1 2 3\nq2\t3\n"),
        (["encode", "DNA"], b"", ""),
        (["decode", "dna", "--text", "2 0 3"], b"", "GAT\n"),
        (["decode", "protein", "--text", "10,8,18"], b"", "MKW\n"),
        (["decode", "dna"], b"r1\t2 0 3\n\n1 1\r\n", ">r1\nGAT\nCC\n"),
        (["symbols", "rna"], b"", "A C G U\n"),
        (["symbols", "--symbols", "XYZ"], b"", "X Y Z\n"),
    ],
)
def test_output(argv, stdin, out):
    assert cli(*argv, stdin=stdin) == (0, out, "")


def test_files_in_order_with_standard_input_among_them(files):
    status, out, err = cli("encode", "--symbols", "ACGT", files / "reads.fq.gz", "-",
                           files / "reads.fa", stdin=b">s\nTTT\n")  # fmt: skip
    assert (status, err) == (0, "")
    assert out == "q1\t0 1 2 3\nq2\t3\ns\t3 3 3\nr1\t2 0 3 3 0 1 0\nr2\t1 1\n"


def test_encode_then_decode_gives_the_records_back(files):
    status, codes, _ = cli("encode", "dna", files / "reads.fa")
    assert cli("decode", "dna", stdin=codes.encode()) == (0, ">r1\nGATTACA\n>r2\nCC\n", "")


@pytest.mark.parametrize("symbols", ["ACGT", "".join(chr(0x100 + i) for i in range(300))])
def test_raw_codes_to_a_file_and_back_record_by_record(tmp_path, symbols):
    text = symbols[::-1] * 2
    fasta = tmp_path / "in.fa"
    fasta.write_text(f">a\n{text[:5]}\n>empty\n>b\n{text[5:]}\n")
    raw = tmp_path / "codes.bin"
    assert cli("encode", "--symbols", symbols, fasta, "--format", "raw", "-o", raw) == (0, "", "")
    alphabet = ab.Alphabet(symbols)
    expected = b""
    for part in (text[:5], "", text[5:]):
        codes = alphabet.encode_all(part)
        expected += len(part).to_bytes(8, "little")
        if len(symbols) > 256:
            expected += b"".join(code.to_bytes(2, "little") for code in codes)
        else:
            expected += codes
    assert raw.read_bytes() == expected
    out = tmp_path / "text.txt"
    assert cli("decode", "--symbols", symbols, "--format", "raw", raw, "-o", out) == (0, "", "")
    assert out.read_text() == f"{text[:5]}\n\n{text[5:]}\n"
    raw.write_bytes(expected[:-1])
    status, _, err = cli("decode", "--symbols", symbols, "--format", "raw", raw)
    assert (status, err) == (1, f"{PROG}: {raw}: the raw codes end inside record 3\n")


@pytest.mark.parametrize(
    "layout, source",
    [
        ("fasta", b">r1 first\tread\nGATTACA\n>r2\n>r3 x\n" + b"ACGT" * 15 + b"\nACGT\n"),
        ("fastq", b"@q1 a b\nACGT\n+\n@I#!\n@q2\n\n+\n\n@q3\nT\n+\nI\n"),
    ],
)
def test_fasta_and_fastq_layouts_give_the_input_back(tmp_path, layout, source):
    path = tmp_path / ("in." + layout)
    path.write_bytes(source)
    status, encoded, err = cli("encode", "dna", "--format", layout, path)
    assert (status, err) == (0, "")
    assert encoded.splitlines()[0] == source.decode().splitlines()[0]
    zipped = gzip.compress(encoded.encode())
    assert cli("decode", "dna", "--format", layout, stdin=zipped) == (0, source.decode(), "")


def test_decode_reads_gzip_files(tmp_path):
    path = tmp_path / "codes.txt.gz"
    path.write_bytes(gzip.compress(b"r\t2 0 3\n"))
    assert cli("decode", "dna", path) == (0, ">r\nGAT\n", "")


def test_decode_wraps_fasta_at_the_line_width():
    codes = b"r\t" + b" ".join([b"0"] * 130) + b"\n"
    assert cli("decode", "dna", stdin=codes)[1] == ">r\n" + ("A" * 60 + "\n") * 2 + "A" * 10 + "\n"
    assert cli("decode", "dna", "--line-width", "0", stdin=codes)[1] == ">r\n" + "A" * 130 + "\n"


def test_fastq_layout_needs_fastq_input(files):
    status, _, err = cli("encode", "dna", "--format", "fastq", files / "reads.fa")
    assert status == 1 and "has no quality" in err and str(files / "reads.fa") in err


@pytest.mark.parametrize("link", ["same", "symlink", "hardlink", "stdin"])
def test_an_input_named_as_the_output_is_refused_before_it_is_touched(files, link):
    source = files / "reads.fa"
    output = {"same": source, "symlink": files / "link.fa", "hardlink": files / "hard.fa",
              "stdin": source}[link]  # fmt: skip
    if link == "symlink":
        output.symlink_to(source)
    elif link == "hardlink":
        os.link(source, output)
    if link == "stdin":
        with open(source, "rb") as stdin:
            result = cli("encode", "dna", "-o", output, stdin=None, stdin_file=stdin)
    else:
        result = cli("encode", "dna", source, "-o", output)
    status, out, err = result
    assert status == 1 and out == ""
    assert "the output is an input" in err
    assert source.read_bytes() == FASTA


def test_options_end_at_a_double_dash(tmp_path):
    path = tmp_path / "-odd.fa"
    path.write_bytes(FASTA)
    assert cli("encode", "dna", "--format", "text", "--", "-odd.fa", cwd=tmp_path) == (
        0, "r1\t2 0 3 3 0 1 0\nr2\t1 1\n", "")  # fmt: skip


def test_running_out_of_memory_is_one_line(monkeypatch, capsys, files):
    from alphabet import _cli

    def no_memory(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(_cli, "read", no_memory)
    assert _cli.main(["encode", "dna", str(files / "reads.fa")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(f"{PROG}: out of memory")


def test_text_output_to_a_file(tmp_path):
    out = tmp_path / "out.txt"
    assert cli("encode", "rna", "--text", "GAU", "-o", out) == (0, "", "")
    assert out.read_text() == "2 0 3\n"


def test_version():
    status, out, err = cli("--version")
    assert (status, err) == (0, "") and out.startswith("alphabet 0.")


def failures(tmp_path):
    bad = tmp_path / "bad.fa"
    bad.write_bytes(b">ok\nAC\n>r2 x\nACGT\nGAXT\n")
    notfasta = tmp_path / "notes.txt"
    notfasta.write_bytes(b"GATTACA\n")
    dna = ab.dna()
    symbol = message_of(lambda: dna.encode_all("GAXTACA"))
    in_record = message_of(lambda: dna.encode_all("ACGTGAXT"))
    code = message_of(lambda: dna.decode_all([2, 7]))
    return [
        (["encode", "dna", "--text", "GAXTACA"], b"", symbol),
        (["encode", "dna", bad], b"", f"{bad}: record 'r2' (line 5, column 3): {in_record}"),
        (["encode", "dna"], FASTA.replace(b"CC", b"CU"), "<stdin>: record 'r2' (line 6, column 2): "
         + message_of(lambda: dna.encode_all("CU"))),
        (["encode", "dna", notfasta], b"", f"{notfasta}: line 1: expected a header line starting "
         "with '>' (FASTA) or '@' (FASTQ), found 'GATTACA'"),
        (["encode", "dna", tmp_path / "missing.fa"], b"",
         f"{tmp_path / 'missing.fa'}: No such file or directory"),
        (["encode", "dna"], gzip.compress(FASTA)[:-9], "<stdin>: line 7: the gzip input is cut "
         "short (it ends inside a member) (in record 'r2')"),
        (["decode", "dna"], b"r1\t2 7\n", f"<stdin>: line 1 (record 'r1'): {code}"),
        (["decode", "dna"], b"1\n2 x\n", "<stdin>: line 2: not a code: 'x'"),
        (["decode", "dna"], "r\t0 \u0663\n".encode(), "<stdin>: line 1 (record 'r'): not a code: '\u0663'"),
        (["decode", "dna"], b"1\n1 \xff\n", "<stdin>: line 2: not UTF-8 text"),
        (["encode", "xna", "--text", "A"], b"", "unknown alphabet 'xna'; expected dna, rna, "
         "protein, iupac-dna, iupac-rna, extended-protein (or --symbols)"),
        (["encode", "--text", "A"], b"", f"an ALPHABET or --symbols is required (see {PROG} --help)"),
        (["encode", "dna", "--alias", "U"], b"", "--alias takes FROM=TO, not 'U'"),
        (["encode", "dna", "--text", "A", bad], b"", "give FILEs or --text, not both"),
        (["encode", "dna", "--frobnicate"], b"",
         f"unrecognized arguments: --frobnicate (see {PROG} --help)"),
        (["frobnicate"], b"", "argument COMMAND: invalid choice: 'frobnicate' (choose from "
         f"'encode', 'decode', 'symbols', 'fetch') (see {PROG} --help)"),
        (["symbols", "dna", "extra"], b"", f"unrecognized arguments: extra (see {PROG} --help)"),
        (["encode", "dna", "--unknown", "N", "--text", "A"], b"",
         message_of(lambda: ab.Alphabet("ACGT", unknown="N"))),
        (["encode", "dna", "--alias", "U=X", "--text", "A"], b"",
         message_of(lambda: ab.Alphabet("ACGT", aliases={"U": "X"}))),
    ]  # fmt: skip


@pytest.mark.parametrize("case", range(19))
def test_an_error_is_one_line_and_status_1(tmp_path, case):
    argv, stdin, message = failures(tmp_path)[case]
    status, out, err = cli(*argv, stdin=stdin)
    assert (status, err) == (1, f"{PROG}: {message}\n")
    # What came before the fault is written.
    before = {
        "bad.fa: ": "ok\t0 1\n",
        "<stdin>: record": "r1\t2 0 3 3 0 1 0\n",
        "<stdin>: line 7: the gzip": "r1\t2 0 3 3 0 1 0\n",  # whole before the gzip stream breaks
        "<stdin>: line 2": "C\n",
    }
    assert out == "".join(text for key, text in before.items() if key in message)


def test_earlier_records_are_written_before_an_error(tmp_path):
    bad = tmp_path / "bad.fq"
    bad.write_bytes(b"@a\nAC\n+\nII\n@b\nACGT\n+\nIII\n")
    status, out, err = cli("encode", "dna", bad)
    assert (status, out) == (1, "a\t0 1\n")
    assert err == (
        f"{PROG}: {bad}: line 8: the quality of FASTQ record 'b' has 3 characters, its sequence 4\n"
    )


@pytest.mark.parametrize(
    "redirect, message",
    [
        ("full", "cannot write the output: No space left on device"),
        ("closed stdout", "standard output is closed"),
        ("closed stdin", "<stdin>: standard input is closed"),
    ],
)
def test_output_and_input_that_cannot_be_used(redirect, message):
    if redirect == "full":
        with open("/dev/full", "wb") as full:
            result = cli("encode", "dna", "--text", "GATTACA", stdout=full)
    elif redirect == "closed stdout":
        result = cli("encode", "dna", "--text", "A", stdout=None, preexec_fn=lambda: os.close(1))
    else:
        result = cli("encode", "dna", stdin=None, preexec_fn=lambda: os.close(0))
    assert result == (1, "", f"{PROG}: {message}\n")


@pytest.mark.parametrize("output", ["/dev/full", "-o /dev/full", "gone"])
def test_an_error_after_output_that_cannot_be_written_is_still_one_line(tmp_path, output):
    # The records before the bad one are buffered when the error comes; the
    # output that cannot take them must not add a traceback at exit.
    bad = tmp_path / "bad.fa"
    bad.write_bytes(b"".join(b">r%d\nACGT\n" % i for i in range(100)) + b">x\nAXG\n")
    message = f"{PROG}: {bad}: record 'x' (line 202, column 2): " + message_of(
        lambda: ab.dna().encode_all("AXG")
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    if output == "gone":
        read, write = os.pipe()
        os.close(read)
        with os.fdopen(write, "wb") as gone:
            result = cli("encode", "dna", bad, stdout=gone, env=env)
    elif output == "/dev/full":
        with open("/dev/full", "wb") as full:
            result = cli("encode", "dna", bad, stdout=full, env=env)
    else:
        result = cli("encode", "dna", bad, "-o", "/dev/full", env=env)
    assert result == (1, "", message + "\n")


def test_a_reader_that_goes_away_ends_the_command_quietly(tmp_path):
    big = tmp_path / "big.fa"
    big.write_bytes(b"".join(b">read%d\n%s\n" % (i, b"ACGT" * 40) for i in range(20000)))
    proc = subprocess.Popen([sys.executable, "-m", "alphabet", "encode", "dna", str(big)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)  # fmt: skip
    assert proc.stdout.readline().startswith(b"read0\t0 1 2 3")
    proc.stdout.close()
    assert proc.wait(timeout=60) == 141
    assert proc.stderr.read() == b""
    proc.stderr.close()


def test_raw_codes_never_go_to_a_terminal():
    import pty

    controller, terminal = pty.openpty()
    try:
        result = cli("encode", "dna", "--text", "A", "--format", "raw", stdout=terminal)
    finally:
        os.close(controller)
        os.close(terminal)
    message = "raw codes go to a file (-o FILE) or a pipe, not to a terminal"
    assert result == (1, "", f"{PROG}: {message}\n")


@pytest.mark.parametrize(
    "argv, out",
    [
        (["encode", "dna", "--ignore-case", "--text", "acGT"], "0 1 2 3\n"),
        (["encode", "--symbols", "ACGTN", "--unknown", "N", "--text", "ACXN"], "0 1 4 4\n"),
        (["encode", "dna", "--alias", "U=T", "--alias", "u=T", "--text", "ACuU"], "0 1 3 3\n"),
    ],
)
def test_alphabet_options(argv, out):
    assert cli(*argv) == (0, out, "")


@pytest.mark.parametrize("name", ["iupac-dna", "iupac-rna", "extended-protein"])
def test_the_further_standard_alphabets(name):
    factory = getattr(ab, name.replace("-", "_"))
    assert cli("symbols", name) == (0, " ".join(factory().symbols) + "\n", "")


class Terminal:
    """A standard error that says it is a terminal."""

    def isatty(self):
        return True

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def test_a_progress_bar_only_on_a_terminal_and_only_with_tqdm(monkeypatch, tmp_path):
    from alphabet import _cli

    pytest.importorskip("tqdm")
    path = tmp_path / "reads.fa"
    path.write_bytes(FASTA)
    assert _cli._progress([str(path)]) is None  # standard error is not a terminal here
    monkeypatch.setattr(sys, "stderr", Terminal())
    bar = _cli._progress([str(path), str(path)])
    assert bar is not None and bar.total == 2 * len(FASTA)
    bar.close()
    bar = _cli._progress([str(path), "-"])
    assert bar.total is None  # standard input has no known length
    bar.close()

    def no_tqdm(name):
        raise ImportError(name)

    monkeypatch.setattr(_cli.importlib, "import_module", no_tqdm)
    assert _cli._progress([str(path)]) is None
