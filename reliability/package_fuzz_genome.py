"""The package fuzzer's genome actions: FASTA and FASTQ files written plain
or as BGZF, corrupted or not, opened by their index (built, stale, damaged)
and fetched from with regions, bounds and alphabets of every kind.  Whatever
the file, nothing crashes and only documented errors come out; a file
written whole gives back what was written.
"""

import os
import struct
import zlib

from campaign import Failure
from package_fuzz_hostile import DOCUMENTED, show
from package_fuzz_reader import corrupt, make_records, render

import alphabet as ab

REGION_TEXTS = ["", ":", "{", "}:1-2", ":1-2", "-", ":-", ":0", ":0-5", ":5-3", ":1,0-2,0", ":3-",
                ":-4", ":1k", ":99999999999999999999", ":1-2-3", ":x", " ", ":\udcff"]  # fmt: skip


def as_bgzf(rng, data):
    """`data` in BGZF blocks of random sizes and DEFLATE kinds, empty blocks among them."""
    out = bytearray()
    at = 0
    while at <= len(data):
        size = rng.choice([0, 1, 100, 5000, 0xFF00]) if at < len(data) else 0
        chunk = data[at : at + size]
        packer = zlib.compressobj(rng.choice([0, 1, 6, 9]), zlib.DEFLATED, -15, 9,
                                  rng.choice([zlib.Z_DEFAULT_STRATEGY, zlib.Z_FIXED, zlib.Z_RLE]))  # fmt: skip
        body = packer.compress(chunk) + packer.flush()
        out += b"\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0" + struct.pack("<H", len(body) + 25)
        out += body + struct.pack("<II", zlib.crc32(chunk), len(chunk))
        if at == len(data):
            break
        at += size
    return bytes(out)


class GenomeActions:
    """The actions that open genomes; files are written into `workdir`."""

    def genome_access(self):
        rng = self.rng
        fastq = rng.random() < 0.3
        records = make_records(rng, fastq)
        data = render(rng, records, fastq)
        damaged = rng.random() < 0.3
        if damaged:
            data = corrupt(rng, data)
        path = self.new_file(as_bgzf(rng, data) if rng.random() < 0.4 else data)
        allowed = DOCUMENTED + (OSError, KeyError, ab.FormatError, ab.AlphabetError)
        kind = ab.Fastq if fastq and rng.random() < 0.5 else ab.Fasta
        genome, exc = self.attempt(
            # The file's name, not its folder: a replay makes another folder.
            f"{kind.__name__}({os.path.basename(path)!r})",
            lambda: kind(path),
            allowed=allowed,
        )
        if exc is not None:
            return
        if rng.random() < 0.2:
            # The file changes under its index: damaged bytes, or cut short.
            with open(path, "r+b") as f:
                size = os.path.getsize(path)
                if size and rng.random() < 0.5:
                    f.seek(rng.randrange(size))
                    f.write(bytes([rng.randrange(256)]))
                else:
                    f.truncate(rng.randrange(size + 1))
            damaged = True
        expected = {}
        for rid, _, sequence, _ in records:
            expected.setdefault(rid, sequence)
        names = list(genome.names)
        for _ in range(rng.randint(1, 12)):
            name = self.pick(names) or "absent"
            region = name + rng.choice(REGION_TEXTS) if rng.random() < 0.4 else name
            start = rng.choice([None, 0, 1, -1, 5, 2**63, -(2**70), 61])
            end = rng.choice([None, 0, 3, -2, 62, 70001, 2**64])
            injected = ()
            if rng.random() < 0.2:
                start, injected = self.hostile_value("start")
            elif rng.random() < 0.1:
                start = rng.choice(["1", 1.5])
            alphabet = rng.choice([None, None, ab.dna(), ab.iupac_dna(), ab.protein(), "dna"])
            flip = rng.random() < 0.3
            args = (region, start, end) if region == name else (region,)
            label = f"fetch{show(args)} alphabet={alphabet!r} rc={flip}"
            got, exc = self.attempt(
                label,
                lambda a=args, al=alphabet, f=flip: genome.fetch(
                    *a, alphabet=al, reverse_complement=f
                ),
                allowed=allowed,
                injected=injected,
            )
            if exc is not None or damaged or alphabet is not None or flip:
                continue
            if region == name and name in expected and isinstance(start, (int, type(None))):
                want = expected[name][slice(start, end)]
                # Only bases (printable ASCII but space) count in a genome.
                if all("!" <= c <= "~" for c in expected[name]) and got != want:
                    raise Failure(f"{label}: {show(got)}, written {show(want)}")
        if fastq and genome.fastq and not damaged:
            for rid in names[:3]:
                record, exc = self.attempt(f"record({rid!r})", lambda r=rid: genome.record(r),
                                           allowed=allowed)  # fmt: skip
                written = expected.get(rid, record.sequence if exc is None else "")
                if (
                    exc is None
                    and all("!" <= c <= "~" for c in written)
                    and record.sequence != written
                ):
                    raise Failure(f"record({rid!r}): {show(record)}")
        genome.close()
