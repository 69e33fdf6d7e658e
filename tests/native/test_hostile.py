"""Arguments that fight back: callbacks that change what is being read, copies
that are not copies, handles not yet issued, buffers written by another
process, and an interpreter that exits under busy threads.  Each case once
crashed the process or corrupted an object; cases that could crash run in a
fresh interpreter, so that a failure is a failed test."""

import array
import gc
import io
import random
import signal
import subprocess
import sys
import threading
import time
import weakref

import pytest

import _alphabet as m
import alphabet as ab
from alphabet import _native as n
from helpers import BEYOND_SANITIZER_LIMIT, SANITIZED


def test_a_reader_keeps_its_codec_alive_after_the_caller_lets_go(fresh):
    # The reader codes records with the codec's tables: the codec must live
    # as long as the reader, not as long as the caller's reference.
    proc = fresh(
        """
        import gc, io
        from alphabet import _native as n

        codec = n.Codec(tuple("ACGT"))
        reader = n.Reader(io.BytesIO(b">r\\nGATTACA\\n" * 3), codec=codec, chunk_size=4)
        del codec
        gc.collect()
        others = [n.Codec(tuple("TGCA")) for _ in range(100)]
        print([bytes(record.sequence).hex() for record in reader])
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "['02000303000100', '02000303000100', '02000303000100']\n"


def test_a_reader_refuses_what_is_not_a_codec():
    with pytest.raises(TypeError, match="expected a Codec, not str"):
        n.Reader(io.BytesIO(b">r\nA\n"), codec="not a codec")


def test_spellings_whose_items_a_code_clears_are_held_while_read(fresh):
    proc = fresh(
        """
        from alphabet import _native as n

        pairs, fillers = [], []

        class ClearsPairs:
            def __index__(self):
                pairs.clear()
                # Texts of the spelling's size, where its memory would go.
                fillers.extend("filler" * 27 + str(i) for i in range(100))
                return 1

        class Spellings:
            def items(self):
                return pairs  # the mapping's own list, which the code clears

        pairs.append(("".join(["spelling"] * 20), ClearsPairs()))  # its only reference
        codec = n.Codec(("A", "C"), spellings=Spellings())
        print(codec.encode_one("spelling" * 20), codec.encode(["spelling" * 20, "A"]))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "1 b'\\x01\\x00'\n"


class CopiesInto:
    """Codes whose copy() gives back an object of its choosing."""

    def __init__(self, codes, copy):
        self._codes, self._copy = codes, copy

    def __buffer__(self, flags):
        return memoryview(self._codes)

    def copy(self):
        return self._copy(self._codes)


@pytest.mark.parametrize(
    "copy",
    [
        lambda codes: b"\x01",  # a shared bytes object: never written
        lambda codes: codes,  # the codes themselves
        lambda codes: memoryview(codes)[::-1],  # not contiguous
        lambda codes: bytearray(len(codes) + 1),  # not the same size
    ],
)
def test_reverse_translate_writes_only_into_a_copy_of_its_own(copy):
    codes = bytearray(b"\x00")
    with pytest.raises(TypeError, match="copy of a CopiesInto"):
        n.reverse_translate(CopiesInto(codes, copy), b"\x03\x02\x01\x00")
    assert codes == b"\x00" and bytes([1]) == b"\x01"
    # A true copy is fine.
    result = n.reverse_translate(CopiesInto(bytearray(b"\x00\x01"), bytearray), b"\x03\x02\x01\x00")
    assert result == bytearray(b"\x02\x03")


def test_adopting_a_handle_not_yet_issued_is_refused():
    probe = m.Slice_int_CTor()
    m.IncRef(probe)
    m.DecRef(probe)
    # new_alphabet registers a symbol sequence, then the alphabet.
    for ahead in (1, 2):
        with pytest.raises(ValueError, match="names no registry entry"):
            n.adopt(ab.Alphabet, probe + ahead)
    gc.collect()
    dna = ab.Alphabet("ACGT")
    assert dna.handle == probe + 2
    assert dna.encode("G") == 2 and m.alphabet_Alphabet_Decode(dna.handle, "2") == "G"
    for nothing in (0, -1, probe):
        with pytest.raises(ValueError):
            n.adopt(ab.Alphabet, nothing)


@pytest.mark.parametrize("field", ["id", "description", "sequence", "quality"])
def test_records_of_str_subclasses_are_collected_in_cycles(field):
    class Text(str):
        pass

    class Witness:
        pass

    text = Text("x")
    text.witness = witness = Witness()
    fields = {"id": "r", "description": "", "sequence": "ACGT", "quality": "IIII"}
    fields[field] = text
    text.record = ab.Record(**fields)
    alive = weakref.ref(witness)
    del text, witness, fields
    gc.collect()
    assert alive() is None


@pytest.mark.skipif(SANITIZED, reason=BEYOND_SANITIZER_LIMIT)
def test_a_chunk_too_large_to_hold_is_a_quiet_memory_error(fresh):
    proc = fresh(
        """
        import io
        from alphabet import _native as n

        try:
            n.Reader(io.BytesIO(b">r\\n"), chunk_size=2**62)
        except MemoryError:
            print("MemoryError")
        """
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "MemoryError\n", "")


def test_an_interrupt_from_a_read_result_is_not_reworded():
    class Interrupts:
        def __buffer__(self, flags):
            raise KeyboardInterrupt

    class Source:
        def read(self, size):
            return Interrupts()

    with pytest.raises(KeyboardInterrupt):
        next(n.Reader(Source()))


def test_an_interrupt_from_a_repr_in_a_message_is_passed_on():
    class Shy:
        def __repr__(self):
            raise KeyboardInterrupt

    class ShyText(str):
        __repr__ = Shy.__repr__

    with pytest.raises(KeyboardInterrupt):
        ab.sequence("int8", [1]).index(Shy())  # absent: the message names it
    with pytest.raises(KeyboardInterrupt):
        ab.sequence("string", [ShyText("a\0")])  # unholdable: the message names it


@pytest.mark.parametrize("delay", [0.0005, 0.001, 0.002, 0.004])
def test_an_extend_from_a_buffer_stopped_by_ctrl_c_takes_all_or_nothing(delay):
    values = array.array("q", range(4_000_000))
    seq = ab.sequence("int64", [-1, -2])

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        seq.extend(values)
    except KeyboardInterrupt:
        pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(seq) in (2, 2 + len(values))
    assert seq[-1] == (-2 if len(seq) == 2 else len(values) - 1)


def test_index_bounds_are_clamped_like_a_lists():
    values = [1, 2, 3, 2]
    seq = ab.sequence("int8", values)
    for start, stop in [(2, 10**30), (-(10**30), 10**30), (0, -(10**30))]:
        try:
            expected = values.index(2, start, stop)
        except ValueError:
            with pytest.raises(ValueError):
                seq.index(2, start, stop)
        else:
            assert seq.index(2, start, stop) == expected


EXIT_UNDER_BUSY_THREADS = """
import sys
import threading
import time

import alphabet as ab

dna = ab.dna()
text = "GATTACA" * 40000
codes = dna.encode_all(text)
path = sys.argv[1]


def busy(which):
    while True:
        if which == 0:
            dna.encode_all(text)
        elif which == 1:
            dna.encode_all(bytearray(text.encode()))
        elif which == 2:
            dna.kmers(codes, 5)
        elif which == 3:
            dna.reverse_complement(bytearray(codes))
        elif which == 4:
            dna.decode_str(codes)
        else:
            for record in ab.read(path, alphabet=dna):
                pass


for which in range(6):
    threading.Thread(target=busy, args=(which,), daemon=True).start()
time.sleep(0.05)
"""


def test_the_interpreter_exits_cleanly_while_daemons_are_in_bulk_calls(tmp_path):
    # The threads are ended as they come back from work done without the
    # interpreter lock: what their calls held must then be left alone.
    path = tmp_path / "reads.fa"
    path.write_text("".join(f">r{i}\n{'ACGT' * 5000}\n" for i in range(50)))
    script = tmp_path / "busy.py"
    script.write_text(EXIT_UNDER_BUSY_THREADS)
    for _ in range(3):
        proc = subprocess.run(
            [sys.executable, str(script), str(path)], capture_output=True, text=True, timeout=60
        )
        assert (proc.returncode, proc.stderr) == (0, "")


DECODE_WHILE_ANOTHER_PROCESS_WRITES = """
import mmap
import subprocess
import sys
import time

from alphabet import _native as n

codes, seconds, method = 1 << 18, 1.5, sys.argv[1]
with open(sys.argv[2], "r+b") as f:
    shared = mmap.mmap(f.fileno(), 2 * codes)
writer = subprocess.Popen([sys.executable, "-c", '''
import mmap, sys, time
with open(sys.argv[1], "r+b") as f:
    shared = mmap.mmap(f.fileno(), 0)
zeros, ones = bytes(len(shared)), b"\\\\xff" * len(shared)
end = time.monotonic() + float(sys.argv[2])
while time.monotonic() < end:
    shared[:] = ones
    shared[:] = zeros
''', sys.argv[2], str(seconds)])
codec = n.Codec(tuple(chr(0x100 + i) for i in range(300)))
view = memoryview(shared).cast("H")
decoded = refused = 0
end = time.monotonic() + seconds
while time.monotonic() < end:
    try:
        result = getattr(codec, method)(view)
    except ValueError:
        refused += 1
    else:
        decoded += 1
        assert len(result) == codes and set(result) <= set(chr(0x100 + i) for i in range(300))
writer.wait()
print("ok")
"""


@pytest.mark.parametrize("method", ["decode_list", "decode_str"])
def test_decoding_codes_that_another_process_writes_meanwhile(tmp_path, method):
    # Each code is checked and used from one read: a code that changes
    # between the two must not index outside the alphabet.
    shared = tmp_path / "codes"
    shared.write_bytes(bytes(2 << 18))
    script = tmp_path / "decode.py"
    script.write_text(DECODE_WHILE_ANOTHER_PROCESS_WRITES)
    proc = subprocess.run(
        [sys.executable, str(script), method, str(shared)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (proc.returncode, proc.stdout) == (0, "ok\n"), proc.stderr


@pytest.mark.parametrize("typecode, symbols", [("B", "ACGTN"), ("H", "ACGT")])
def test_kmers_of_codes_that_another_thread_writes_meanwhile(typecode, symbols):
    # A k-mer adds each code when it enters and takes it off when it leaves:
    # codes that change between the two reads would wrap the index around.
    rng = random.Random(7)
    alphabet = ab.Alphabet(symbols)
    size = 1 << 18
    one, two = (array.array(typecode, rng.choices(range(len(symbols)), k=size)) for _ in "12")
    codes = array.array(typecode, one)
    stop = threading.Event()

    def write():
        while not stop.is_set():
            codes[:] = two
            codes[:] = one

    writer = threading.Thread(target=write)
    writer.start()
    try:
        end = time.monotonic() + 1.5
        while time.monotonic() < end:
            assert max(alphabet.kmers(codes, 3)) < len(symbols) ** 3
    finally:
        stop.set()
        writer.join()
