"""What the tests of every room share, and the reliability scripts with them.

pytest puts this folder on the path: its conftest.py belongs to no package.
The reliability scripts find it through their campaign.py.  It lives here
because the installed-wheel run copies tests/ alone.
"""

import io
import os
import pathlib
import random
import struct
import subprocess
import types
import zlib

import _alphabet as m

# The checkout (or the folder the installed-wheel run copied tests/ into).
ROOT = pathlib.Path(__file__).resolve().parent.parent

# The seventeen sequence kinds as the tests see them, in method-table order:
# kind -> (storage group, docstring value type, zero value).
KINDS = {
    "bool": ("bool", "bool", False),
    "byte": ("u8", "uint8_t", 0),
    "error": ("error", "char *", ""),
    "float32": ("f32", "float", 0.0),
    "float64": ("f64", "double", 0.0),
    "int": ("int", "int64_t", 0),
    "int16": ("i16", "int16_t", 0),
    "int32": ("i32", "int32_t", 0),
    "int64": ("int64", "int64_t", 0),
    "int8": ("i8", "int8_t", 0),
    "rune": ("i32", "int32_t", 0),
    "string": ("string", "char *", ""),
    "uint": ("uint", "uint64_t", 0),
    "uint16": ("u16", "uint16_t", 0),
    "uint32": ("u32", "uint32_t", 0),
    "uint64": ("uint64", "uint64_t", 0),
    "uint8": ("u8", "uint8_t", 0),
}


def op(kind, name):
    return getattr(m, f"Slice_{kind}_{name}")


def release(handle):
    """Removes a count-0 entry from the registry."""
    m.IncRef(handle)
    m.DecRef(handle)


def contents(kind, handle):
    return [op(kind, "elem")(handle, i) for i in range(op(kind, "len")(handle))]


def capacity(kind, handle):
    """The capacity, found by probing sub-ranges (probe handles are released)."""
    lo, hi = 0, 1
    while _reaches(kind, handle, hi):
        lo, hi = hi, hi * 2
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (mid, hi) if _reaches(kind, handle, mid) else (lo, mid)
    return lo


def _reaches(kind, handle, end):
    try:
        probe = op(kind, "subslice")(handle, 0, end)
    except IndexError:
        return False
    release(probe)
    return True


def strings(values, module=m):
    """A new string sequence holding `values`, made through `module` (a
    reliability script may name a stand-in for _alphabet)."""
    handle = module.Slice_string_CTor()
    for value in values:
        module.Slice_string_append(handle, value)
    return handle


class IndexOf:
    """An integer-like object that is not an int and has no ordering:
    parsers take its __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexOf({self.value!r})"


class Trickle(io.RawIOBase):
    """A binary stream that gives at most `step` bytes per readinto."""

    def __init__(self, data, step):
        super().__init__()
        self.data, self.step = memoryview(data), step

    def readable(self):
        return True

    def readinto(self, buffer):
        count = min(self.step, len(buffer), len(self.data))
        buffer[:count] = self.data[:count]
        self.data = self.data[count:]
        return count

    def __repr__(self):
        return f"Trickle({len(self.data)} bytes, step={self.step})"


def longest_match_codes(alphabet, text):
    """The codes of `text` cut by the longest piece that `alphabet` (one with
    a symbol longer than one character) encodes as it is, asked one piece at
    a time without its unknown symbol, else the unknown code; or ("fails
    at", position) where nothing matches."""
    strict = alphabet.with_options(unknown=None)
    pieces = list(alphabet.symbols) + list(alphabet.aliases)
    lengths = sorted({len(p) for p in pieces if len(p) > 1}, reverse=True) + [1]
    codes, at = [], 0
    while at < len(text):
        for length in lengths:
            if at + length > len(text):
                continue
            try:
                codes.append(strict.encode(text[at : at + length]))
            except ValueError:  # the package's AlphabetError
                continue
            at += length
            break
        else:
            if alphabet.unknown is None:
                return ("fails at", at)
            codes.append(alphabet.encode(alphabet.unknown))
            at += 1
    return codes


def script(relative):
    """The repository's script at `relative`, its source run into a fresh
    module; the test skips where the tree is not there (the installed-wheel
    run copies tests/ alone)."""
    path = ROOT / relative
    if not path.exists():
        import pytest  # only here: the reliability scripts import this module too

        pytest.skip(f"needs the source tree's {path.parent.name}/", allow_module_level=True)
    module = types.ModuleType(path.stem.replace("-", "_"))
    module.__file__ = str(path)
    exec(compile(path.read_text(encoding="utf-8"), path, "exec"), vars(module))
    return module


# Sanitizer runtimes reserve terabytes of address space up front, more than
# any cap allows: the cases run under a capped address space skip there.
SANITIZED = any(runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("asan", "tsan"))


def run_tool(*args, **options):
    """A tool the tests check against (samtools, bgzip), run as a process
    with its output captured, outside any sanitizer: the runtime a sanitized
    run preloads would check the tool too, and its report (samtools divides
    by zero fetching from some files it indexes) would read as one of ours."""
    environment = {name: value for name, value in os.environ.items()
                   if name != "LD_PRELOAD" and not name.endswith("SAN_OPTIONS")}  # fmt: skip
    return subprocess.run([str(arg) for arg in args], env=environment, capture_output=True,
                          **options)  # fmt: skip


# Why a test of a size no allocator can give is left to the plain build: a
# sanitizer's allocator reports it and ends the process (the fuzz stage, which
# lets such allocations fail, covers it there).
BEYOND_SANITIZER_LIMIT = "a sanitizer's allocator reports a size beyond its limit"

# The start of a fresh interpreter's code: capped(call) runs `call` with the
# address space capped just above what is mapped, so that a 64 MiB text
# cannot be copied while everything small still can, and gives "MemoryError"
# for that exception; other_threads_still_run() tells whether the
# interpreter goes on.
CAPPED_PRELUDE = """import resource
import threading

import _alphabet as m

BIG = "x" * (64 << 20)


def mapped_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def capped(call):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + (16 << 20), hard))
    try:
        return call()
    except MemoryError:
        return "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def other_threads_still_run():
    done = []
    thread = threading.Thread(target=lambda: done.append(sum(range(100))))
    thread.start()
    thread.join(timeout=30)
    return done == [4950]
"""


def leaks(call, runs=1000, expected=(), rounds=3):
    """What `runs` calls of `call` leave behind: (blocks the interpreter's
    allocator still holds, registry entries still live), the least over
    `rounds` rounds, as CPython's own leak hunter measures: caches and free
    lists fill in the first rounds and then stop growing, while a reference
    or an entry leaked per call shows as `runs` or more in every round; the
    caller bounds the result well below that.  An exception of a type in
    `expected` counts as the call's result."""
    import gc
    import sys

    def once():
        try:
            call()
        except expected:
            pass

    for _ in range(runs // 5):
        once()
    found = None
    for _ in range(rounds):
        gc.collect()
        blocks, handles = sys.getallocatedblocks(), m.NumHandles()
        for _ in range(runs):
            once()
        gc.collect()
        left = (sys.getallocatedblocks() - blocks, m.NumHandles() - handles)
        found = left if found is None else (min(found[0], left[0]), min(found[1], left[1]))
    return found


def fastq(count, length=30, seed=1):
    """`count` FASTQ records of `length` random bases, as bytes."""
    rng = random.Random(seed)
    return b"".join(
        b"@r%d d%d\n%s\n+\n%s\n"
        % (i, i, bytes(rng.choices(b"ACGT", k=length)), bytes(rng.choices(range(33, 75), k=length)))
        for i in range(count)
    )


# The empty block that ends a BGZF file.
BGZF_END = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


def bgzf(data, block=0xFF00, level=6, strategy=zlib.Z_DEFAULT_STRATEGY):
    """`data` as BGZF: gzip members of at most `block` bytes, each naming its
    own size in a 'BC' extra field, then the empty end block.  The level and
    strategy choose the kinds of DEFLATE block inside (stored, fixed codes,
    codes of their own)."""
    out = []
    for start in range(0, len(data), block):
        piece = data[start : start + block]
        packer = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
        body = packer.compress(piece) + packer.flush()
        size = 18 + len(body) + 8
        out += [
            b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00",
            struct.pack("<H", size - 1),
            body,
            struct.pack("<II", zlib.crc32(piece), len(piece)),
        ]
    out.append(BGZF_END)
    return b"".join(out)
