"""The package fuzzer's calls of alphabet._native directly: Codec,
reverse_translate, kmers, format_codes, adopt, new_alphabet,
extend_alphabet, standard_alphabet, Record, Sequence subclasses and Reader,
with arguments that fight back.
"""

import array
import ctypes
import io
import operator
import pickle

from campaign import Failure, HostileError
from package_fuzz_hostile import DOCUMENTED, IndexOf, Raises, raise_hostile, show
from package_fuzz_reader import ReadOnly

import alphabet as ab
from alphabet import _native as n
from alphabet._sequences import KIND_CLASSES


class NativeActions:
    """The actions that call the native module's own functions."""

    def native_codec(self):
        rng = self.rng
        symbols, clean = self.random_symbols()
        if isinstance(symbols, str) and rng.random() < 0.8:
            symbols = tuple(symbols)
        spellings = rng.choice(
            [
                None,
                {"u": 0},
                {"zz": 1, "Q": 0},
                {"a": 99},
                {3: 0},
                [("a", 0)],
                {"x": Raises()},
                {"x": IndexOf(0)},
                Raises(),
            ]
        )
        unknown = rng.choice([None, 0, 1, -1, 2**64, IndexOf(0), Raises(), "A"])
        ignore_case = rng.choice([False, True, Raises()])
        codec, exc = self.attempt(
            f"Codec({show(symbols)}, spellings={show(spellings)}, unknown={show(unknown)}, ignore_case={show(ignore_case)})",
            lambda: n.Codec(symbols, spellings=spellings, unknown=unknown, ignore_case=ignore_case),
            injected=(HostileError, KeyboardInterrupt),
        )
        if codec is None:
            return
        pool = codec_symbols(codec, symbols) or ["?"]
        text = "".join(rng.choices(pool, k=rng.choice([0, 5, 70000]))) + rng.choice(["", "?", "a"])
        one, exc_one = [], None
        for position, c in enumerate(text if codec.one_char else []):
            try:
                one.append(codec.encode_one(c))
            except ab.AlphabetError:
                exc_one = position
                break
        result, exc = self.attempt(f"codec.encode({show(text)})", lambda: codec.encode(text))
        if codec.one_char and exc_one is None and (exc is not None or list(result) != one):
            raise Failure(f"codec.encode gives {show(result)} / {exc!r}, encode_one {show(one)}")
        if codec.one_char and exc_one is not None and getattr(exc, "position", None) != exc_one:
            raise Failure(f"codec.encode: {exc!r}, encode_one refuses position {exc_one}")

    def native_bulk(self):
        rng = self.rng
        given, values, raises = self.codes_for(rng.choice([2, 4, 20, 256]))
        r = rng.random()
        if r < 0.4:
            table = rng.choice(
                [
                    bytes([3, 2, 1, 0]),
                    bytes(range(256))[::-1],
                    b"",
                    array.array("H", [1]),
                    memoryview(b"\1\0"),
                    bytearray(b"\0" * 300),
                    Raises(),
                    "abc",
                ]
            )
            result, exc = self.attempt(
                f"reverse_translate({show(given)}, {show(table)})",
                lambda: n.reverse_translate(given, table),
                injected=raises + (HostileError,),
            )
            if values is None or not isinstance(table, bytes) or isinstance(given, type(iter([]))):
                return
            if isinstance(exc, TypeError) and isinstance(given, ctypes.Array):
                return  # no copy() to make a result of its type with
            bad = next((i for i, v in enumerate(values) if not 0 <= v < len(table)), None)
            if bad is not None:
                if exc is not None and not isinstance(exc, (ab.AlphabetError, OverflowError)):
                    raise Failure(f"reverse_translate: {exc!r}; code at {bad} is outside the table")
                return
            if exc is None and list(result) != [table[v] for v in reversed(values)]:
                raise Failure(f"reverse_translate gives {show(result)}")
        elif r < 0.8:
            k = rng.choice([1, 2, 3, 0, -5, 2**64, 2**70, IndexOf(3), Raises()])
            base = rng.choice(
                [0, 1, 2, 3, 4, 20, 256, 2**32, 2**64, 2**64 + 1, -1, IndexOf(4), Raises()]
            )
            result, exc = self.attempt(
                f"kmers({show(given)}, {show(k)}, {show(base)})",
                lambda: n.kmers(given, k, base),
                injected=raises + (HostileError,),
            )
            if values is None or isinstance(k, Raises) or isinstance(base, Raises):
                return
            k, base = operator.index(k), operator.index(base)
            if base < 0 or base > 2**64 or (base == 2**64 and k != 1):
                if not isinstance(exc, ValueError):
                    raise Failure(f"kmers with base {base}: {exc!r}")
                return
            self.judge_kmers(values, k, base, result, exc)
        else:
            result, exc = self.attempt(
                f"format_codes({show(given)})",
                lambda: n.format_codes(given),
                injected=raises + (HostileError,),
            )
            if exc is None and values is not None and result != " ".join(map(str, values)).encode():
                raise Failure(f"format_codes gives {show(result)} for {show(values)}")

    def native_objects(self):
        rng = self.rng
        r = rng.random()
        classes = [ab.Alphabet, Owner, ab.ByteSequence, int, KIND_CLASSES["int8"]]
        if r < 0.25:
            cls = rng.choice(classes)
            held = self.pick(self.alphabets + [s for s, _ in self.sequences])
            handle = rng.choice(
                [held.handle if held else 0, 0, -1, 2**63 - 1, 2**64, "1", self.raw_handle()]
            )
            self.attempt(f"adopt({cls.__name__}, {show(handle)})", lambda: n.adopt(cls, handle))
        elif r < 0.45:
            cls = rng.choice(classes)
            symbols, _ = self.random_symbols()
            self.attempt(
                f"new_alphabet({cls.__name__}, {show(symbols)})",
                lambda: n.new_alphabet(cls, symbols),
                injected=(HostileError, KeyboardInterrupt),
            )
        elif r < 0.6:
            target = self.pick(self.alphabets + [s for s, _ in self.sequences]) or 5
            symbols, _ = self.random_symbols()
            self.attempt(
                f"extend_alphabet({show(target)}, {show(symbols)})",
                lambda: n.extend_alphabet(target, symbols),
                injected=(HostileError, KeyboardInterrupt),
            )
            self.attempt(f"alphabet_symbols({show(target)})", lambda: n.alphabet_symbols(target))
        elif r < 0.7:
            cls = rng.choice(classes)
            name = rng.choice(["dna", "rna", "protein", "DNA", "", "x" * 1000, 5, "\ud800"])
            self.attempt(
                f"standard_alphabet({cls.__name__}, {show(name)})",
                lambda: n.standard_alphabet(cls, name),
            )
        elif r < 0.8:
            fields = [
                rng.choice(["id", 5, None, Raises()]),
                rng.choice(["", b""]),
                rng.choice(["ACGT", b"\0", [1]]),
                rng.choice([None, "I", 3]),
            ]
            record, exc = self.attempt(f"Record(*{show(fields)})", lambda: n.Record(*fields))
            if record is not None:
                self.attempt(
                    "record ops",
                    lambda: (
                        repr(record),
                        pickle.loads(pickle.dumps(record)) == record,
                        hash(record) if not isinstance(record.sequence, list) else 0,
                    ),
                )
        elif r < 0.9:
            kind = rng.choice(["int8", "string", "nope", 5, None, "\ud800"])
            cls = type("Custom", (ab.Sequence,), {"__slots__": (), "kind": kind})
            self.attempt(
                f"Sequence subclass of kind {show(kind)}",
                lambda: cls([1]),
                injected=(HostileError,),
            )
        else:
            data = b">r\nACGT\n"
            codec = rng.choice(
                [
                    None,
                    n.Codec(tuple("ACGT")),
                    n.Codec(tuple("acgt"), ignore_case=True, unknown=0),
                    n.Codec(tuple(chr(c) for c in range(0x21, 0x21 + 300))),
                    n.Codec(("AAA", "AAC")),
                    Raises(),
                    "x" * 256,
                    5,
                ]
            )
            options = dict(
                fd=rng.choice([-1, -1, -7, 2**31, 10**6]),
                head=rng.choice([b"", b">", b"\x1f\x8b", "text", Raises(), memoryview(b">x")[::2]]),
                closer=rng.choice([None, lambda: None, raise_hostile, 5]),
                codec=codec,
                chunk_size=rng.choice([1, 7, 0, -1, 2**62, 1 << 20]),
            )
            options = {key: value for key, value in options.items() if rng.random() < 0.4}
            source = rng.choice([io.BytesIO(data), ReadOnly(data, 3), object(), None])
            huge = options.get("chunk_size") == 2**62
            allowed = DOCUMENTED + (OSError, AttributeError) + ((MemoryError,) if huge else ())
            reader, _ = self.attempt(
                f"Reader({show(source)}, **{show(options)})",
                lambda: n.Reader(source, **options),
                allowed=allowed,
                injected=(HostileError,),
            )
            if reader is not None:
                self.attempt(
                    "list(reader)", lambda: list(reader), allowed=allowed, injected=(HostileError,)
                )


class Owner(n.Held):
    __slots__ = ("extra",)


def codec_symbols(codec, symbols):
    try:
        return [s for s in symbols if isinstance(s, str) and len(s) == 1]
    except TypeError:
        return []
