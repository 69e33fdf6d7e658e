"""The package fuzzer's writing actions: records of every shape written with
every option to paths, gzip, file objects and outputs that fail; what read()
gives back must be what was written, and a refused record must leave no
trace in the output.
"""

import array
import gzip
import io
import os

from campaign import Failure, HostileError
from package_fuzz_hostile import DOCUMENTED, show
from package_fuzz_reader import make_records

import alphabet as ab

TRICKY = ["", ">", "@", "+", " ", "\t", "\r", "\n", "A", "é", "\ud800"]


class Sip(io.RawIOBase):
    """An unbuffered output that takes a few bytes per write, and may fail
    (HostileError or an interrupt) on write number `fail_at`."""

    def __init__(self, step, fail_at, fault):
        super().__init__()
        self.data, self.step, self.calls = bytearray(), step, 0
        self.fail_at, self.fault = fail_at, fault

    def writable(self):
        return True

    def write(self, data):
        self.calls += 1
        if self.calls == self.fail_at:
            raise self.fault("write")
        self.data += bytes(data[: self.step])
        return min(self.step, len(data))


class HostileRecord:
    """A record whose fields are of the wrong type, or whose description
    raises when it is looked up."""

    def __init__(self, rng):
        self.id = rng.choice(["h", 5, None, "a b"])
        self.sequence = rng.choice(["AC", b"\x00\x01", [0, 1, 9], array.array("H", [1]), 3.5])
        if rng.random() < 0.5:
            self.quality = rng.choice(["II", None, b"II", "I"])
        self.raising = rng.random() < 0.3

    def __getattr__(self, name):  # only for what the record does not have
        if name == "description" and self.raising:
            raise HostileError("description")
        raise AttributeError(name)


class WriterActions:
    """The actions that write; files go into `workdir`."""

    def write_records(self):
        rng = self.rng
        fastq = rng.random() < 0.5
        records = [ab.Record(rid, description, sequence, quality)
                   for rid, description, sequence, quality in make_records(rng, fastq)]  # fmt: skip
        if rng.random() < 0.3:
            # Records as read() gives them back from text full of hazards.
            text = (">" if not fastq else "@") + "".join(rng.choices(TRICKY[:-1], k=40))
            try:
                records = list(ab.read(io.BytesIO(text.encode())))
            except ab.FormatError:
                records = []
        width = rng.choice([0, 1, 7, 59, 60, 61])
        level = rng.choice([None, None, 0, 1, 6])
        threads = rng.choice([0, 1, 2])
        self.files += 1
        kind = rng.choice(["BytesIO", "path", "gzip path", "sip"])
        if kind == "BytesIO":
            target = io.BytesIO()
        elif kind == "sip":
            target = Sip(rng.randint(1, 9), 0, HostileError)
        else:
            suffix = (".fq" if fastq else ".fa") + (".gz" if kind == "gzip path" else "")
            target = os.path.join(self.workdir, f"output{self.files}{suffix}")
        label = (f"write({kind}, {len(records)} records, line_width={width}, "
                 f"compresslevel={level}, threads={threads})")  # fmt: skip
        count, exc = self.attempt(
            label,
            lambda: ab.write(
                target, records, line_width=width, compresslevel=level, threads=threads
            ),  # fmt: skip
            allowed=DOCUMENTED + (OSError,),
        )
        if exc is not None:
            raise Failure(f"{label}: refused {show(records)}: {exc!r}")
        if count != len(records):
            raise Failure(f"{label}: counted {count} of {len(records)}")
        if kind == "BytesIO":
            data = target.getvalue()
        elif kind == "sip":
            data = bytes(target.data)
        else:
            with open(target, "rb") as f:
                data = f.read()
        if level is not None or kind == "gzip path":
            data = gzip.decompress(data)
        back = [(r.id, r.description, r.sequence, r.quality) for r in ab.read(io.BytesIO(data))]
        expected = [(r.id, r.description, r.sequence, r.quality) for r in records]
        if back != expected:
            raise Failure(f"{label}: wrote {show(records)}, read back {show(back)}")

    def write_hostile(self):
        """Hostile records and outputs: only documented errors, and the
        records taken are whole in the output."""
        rng = self.rng
        records = []
        for i in range(rng.randint(1, 6)):
            if rng.random() < 0.5:
                records.append(HostileRecord(rng))
            else:
                sequence = "".join(rng.choices(TRICKY, k=rng.randint(0, 5)))
                quality = rng.choice([None, "I" * len(sequence), "I"])
                records.append((f"r{i}", sequence) + ((quality,) if quality is not None else ()))
        fault = rng.choice([HostileError, KeyboardInterrupt])
        sink = Sip(rng.randint(1, 5), rng.choice([1, 3, 1 << 30]), fault)
        alphabet = rng.choice([None, ab.dna()])
        writer, exc = self.attempt(
            "Writer(Sip)", lambda: ab.Writer(sink, alphabet=alphabet, threads=0)
        )
        if writer is None:
            return
        taken = []
        for record in records:
            _, exc = self.attempt(
                f"writer.write({show(vars(record) if isinstance(record, HostileRecord) else record)})",
                lambda record=record: writer.write(record),
                allowed=DOCUMENTED + (ab.AlphabetError,),
                injected=(HostileError, KeyboardInterrupt),
            )
            if exc is None:
                taken.append(record)
            elif not isinstance(exc, (TypeError, ValueError, HostileError)):
                break
        _, exc = self.attempt(
            "writer.close()", writer.close, injected=(HostileError, KeyboardInterrupt)
        )
        if exc is None and sink.calls < sink.fail_at:
            back = list(ab.read(io.BytesIO(bytes(sink.data))))
            if len(back) != len(taken):
                raise Failure(f"{len(taken)} records taken, {len(back)} read back: {show(back)}")
