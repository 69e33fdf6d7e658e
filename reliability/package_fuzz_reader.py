"""The package fuzzer's reading actions: FASTA and FASTQ generated, corrupted
or not, and read from paths, gzip, file objects and misbehaving file
objects; every kind of source must give the same records, and valid input
the records written.
"""

import array
import gzip
import io
import os

from campaign import Failure, HostileError, helpers
from package_fuzz_hostile import DOCUMENTED, BufferOf, show

import alphabet as ab
from alphabet._reader import _open as open_reader

Trickle = helpers.Trickle

# ---- FASTA and FASTQ -------------------------------------------------------

ID_WORDS = ["r", "read_1", "é", "x" * 60, "日本", "q:1/2"]
DESCRIPTIONS = ["", "a description", "two  spaces", "ünïcode text", "len=5 x"]
SEQUENCE_LETTERS = "ACGTACGTACGTNacgtRYé"


def make_records(rng, fastq):
    records = []
    for i in range(rng.choice([0, 1, 2, 3, 5, 8])):
        length = rng.choice([0, 1, 3, 10, 61, 200]) if rng.random() < 0.95 else 70000
        letters = SEQUENCE_LETTERS if rng.random() < 0.3 else "ACGT"
        sequence = "".join(rng.choices(letters, k=length))
        quality = "".join(rng.choices("!#+5@AIJ~", k=length)) if fastq else None
        records.append((f"{rng.choice(ID_WORDS)}{i}", rng.choice(DESCRIPTIONS), sequence, quality))
    return records


def render(rng, records, fastq):
    """The text of `records`, with the layout variations the reader must take."""
    newline = "\r\n" if rng.random() < 0.2 else "\n"
    width = rng.choice([None, None, 1, 7, 60])
    lines = ["\ufeff"] if rng.random() < 0.1 else [""]
    if rng.random() < 0.1:
        lines.append(newline + " \t" + newline)

    def wrapped(text):
        if width is None or not text:
            return [text] if (text or not fastq) else [""]
        return [text[i : i + width] for i in range(0, len(text), width)]

    out = []
    for rid, description, sequence, quality in records:
        header = rid + (" " + description if description else "")
        out.append(("@" if fastq else ">") + header)
        out.extend(line for line in wrapped(sequence) if line or fastq)
        if fastq:
            out.append("+" + (header if rng.random() < 0.3 else ""))
            out.extend(wrapped(quality))
        if rng.random() < 0.1:
            out.append(rng.choice(["", "  ", "\t"]))
    text = "".join(lines) + newline.join(out)
    if out and rng.random() < 0.8:
        text += newline
    return text.encode()


def corrupt(rng, data):
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        at = rng.randrange(len(data) + 1)
        what = rng.random()
        byte = rng.choice(b">@+\n\r \xff\xc3\x80A")
        if what < 0.3 and at < len(data):
            data[at] = byte
        elif what < 0.5 and at < len(data):
            del data[at]
        elif what < 0.8:
            data.insert(at, byte)
        else:
            del data[at:]
    return bytes(data)


class ReadOnly:
    """A source with read() only, giving at most `step` bytes at a time."""

    def __init__(self, data, step):
        self.data, self.step = data, step

    def read(self, size=-1):
        size = self.step if size < 0 else min(size, self.step)
        piece, self.data = self.data[:size], self.data[size:]
        return piece

    def __repr__(self):
        return f"ReadOnly({len(self.data)} bytes, step={self.step})"


class Misbehaving:
    """A source that reads normally, then does `fault` on call number `at`."""

    FAULTS = [
        "raise",
        "interrupt",
        "none",
        "text",
        "negative",
        "too_many",
        "float",
        "huge",
        "shrink",
        "grow",
        "reenter",
        "raising_buffer",
        "strided",
    ]

    def __init__(self, data, fault, at, readinto, reader_box):
        self.data, self.fault, self.at, self.calls = data, fault, at, 0
        self.reader_box = reader_box  # [reader], for a source that calls its own reader
        self.read = self._head if readinto else self._read
        if readinto:
            self.readinto = self._readinto

    def _head(self, size=-1):
        # read() gives the first bytes, which alphabet.read looks at for gzip.
        return self._piece(size)

    def _piece(self, size):
        piece, self.data = self.data[: min(size, 5)], self.data[min(size, 5) :]
        return piece

    def _readinto(self, buffer):
        self.calls += 1
        if self.calls == self.at:
            result = self._fault(buffer)
            if result is not NotImplemented:
                return result
        piece = self._piece(len(buffer))
        buffer[: len(piece)] = piece
        return len(piece)

    def _read(self, size=-1):
        self.calls += 1
        if self.calls == self.at:
            result = self._fault(None)
            if result is not NotImplemented:
                return result
        return self._piece(size)

    def _fault(self, buffer):
        fault = self.fault
        if fault == "raise":
            raise HostileError("read")
        if fault == "interrupt":
            raise KeyboardInterrupt("read")
        if fault == "none":
            return None
        if fault == "text":
            return "text"
        if fault == "negative":
            return -2
        if fault == "too_many":
            return (len(buffer) + 1) if buffer is not None else 3.5
        if fault == "float":
            return 1.5
        if fault == "huge":
            return 2**70
        if fault == "shrink" and buffer is not None:
            del buffer[:]
            return 0
        if fault == "grow" and buffer is not None:
            buffer.extend(b">" * 10)
            return NotImplemented
        if fault == "reenter" and self.reader_box:
            next(self.reader_box[0])  # the reader is busy: ValueError
            return NotImplemented
        if fault == "raising_buffer" and buffer is None:
            return BufferOf(HostileError)
        if fault == "strided" and buffer is None:
            return memoryview(b"ACGTACGT")[::2]
        return NotImplemented

    def __repr__(self):
        how = "readinto" if "readinto" in vars(self) else "read"
        return f"Misbehaving({how}, {self.fault!r}, at={self.at})"


class ReaderActions:
    """The actions that read; files are written into `workdir`."""

    def new_file(self, data):
        self.files += 1
        path = os.path.join(self.workdir, f"input{self.files}")
        with open(path, "wb") as f:
            f.write(data)
        return path

    def outcome(self, label, make, alphabet, limit):
        """What reading gives: the records and errors in order, each as a
        tuple; a source fault raises."""
        reader, exc = self.attempt(label, make, allowed=DOCUMENTED + (OSError,))
        if exc is not None:
            return [("refused", type(exc).__name__)]
        items = []
        for _ in range(limit):
            try:
                record = next(reader)
            except StopIteration:
                items.append(("end",))
                break
            except ab.FormatError as error:
                items.append(("FormatError", error.line, str(error)))
                try:
                    next(reader)
                except StopIteration:
                    pass
                else:
                    raise Failure(f"{label}: a record after {error!r}")
                break
            except ab.AlphabetError as error:
                items.append(("AlphabetError", str(error)))
                continue
            fields = (record.id, record.description, record.sequence, record.quality)
            if not all(isinstance(f, str) for f in fields[:2]):
                raise Failure(f"{label}: record fields {show(fields)}")
            items.append(
                ("record",)
                + tuple(bytes(f) if isinstance(f, (bytearray, array.array)) else f for f in fields)
            )
        else:
            raise Failure(f"{label}: more than {limit} items")
        if not reader.closed:
            raise Failure(f"{label}: the reader is not closed at the end of its input")
        return items

    def read_files(self):
        rng = self.rng
        fastq = rng.random() < 0.5
        records = make_records(rng, fastq)
        data = render(rng, records, fastq)
        corrupted = rng.random() < 0.4
        if corrupted:
            data = corrupt(rng, data)
        alphabet = None
        if rng.random() < 0.4:
            alphabet = rng.choice(
                [
                    ab.dna(),
                    ab.iupac_dna(),
                    ab.Alphabet("ACGTN", ignore_case=True),
                    ab.Alphabet("ACGT", unknown="A"),
                ]
            )
            self.track(alphabet)
            if alphabet is None:
                return
        zipped = gzip.compress(data, mtime=0)
        chunk = rng.choice([1, 3, 64, 1 << 20])
        sources = [
            ("path", lambda: ab.read(self.new_file(data), alphabet=alphabet)),
            ("gzip path", lambda: ab.read(self.new_file(zipped), alphabet=alphabet)),
            ("BytesIO", lambda: ab.read(io.BytesIO(data), alphabet=alphabet)),
            (
                f"Trickle {chunk}",
                lambda: open_reader(Trickle(data, rng.randint(1, 9)), alphabet, chunk),
            ),
            (
                f"ReadOnly {chunk}",
                lambda: open_reader(ReadOnly(data, rng.randint(1, 9)), alphabet, chunk),
            ),
            ("gzip stream", lambda: open_reader(Trickle(zipped, 7), alphabet, chunk)),
        ]
        limit = len(records) + len(data) + 5
        first = None
        for name, make in rng.sample(sources, rng.randint(2, len(sources))):
            outcome = self.outcome(
                f"read({name}, {len(data)} bytes, alphabet={show(alphabet)})", make, alphabet, limit
            )
            if first is None:
                first = (name, outcome)
            elif outcome != first[1]:
                raise Failure(
                    f"reading from {name} gives {show(outcome)}; from {first[0]} {show(first[1])}"
                )
        if not corrupted:
            expected = []
            for rid, description, sequence, quality in records:
                if alphabet is None:
                    expected.append(("record", rid, description, sequence, quality))
                    continue
                try:
                    codes = alphabet.encode_all(sequence)
                except ab.AlphabetError:
                    expected.append("AlphabetError")
                    continue
                expected.append(("record", rid, description, bytes(codes), quality))
            got = [item if item[0] != "AlphabetError" else "AlphabetError" for item in first[1]]
            if got != expected + [("end",)]:
                raise Failure(f"read of {show(data)} gives {show(got)}, written {show(expected)}")

    def misbehaving_source(self):
        rng = self.rng
        data = render(rng, make_records(rng, False), False)
        fault = rng.choice(Misbehaving.FAULTS)
        box = []
        source = Misbehaving(data, fault, rng.randint(1, 4), rng.random() < 0.5, box)
        chunk = rng.choice([1, 4, 64])
        reader, exc = self.attempt(
            f"read({show(source)})",
            lambda: open_reader(source, None, chunk),
            allowed=DOCUMENTED + (OSError,),
            injected=(HostileError, KeyboardInterrupt),
        )
        if reader is None:
            return
        box.append(reader)
        for _ in range(len(data) + 10):
            item, exc = self.attempt(
                "next(reader)",
                lambda: next(reader),
                allowed=DOCUMENTED + (OSError, StopIteration),
                injected=(HostileError, KeyboardInterrupt),
            )
            if isinstance(exc, StopIteration):
                break
            if isinstance(exc, ab.FormatError) and not reader.closed:
                raise Failure("the reader is open after a FormatError")
        else:
            raise Failure(f"a reader of {len(data)} bytes from {show(source)} never ended")
        box.clear()
