"""The package fuzzer's alphabet actions: making and reshaping alphabets
(every option, the standard and extended ones, with_options, extend,
from_handle, set_dna, pickles), encoding and decoding texts, iterables and
buffers, reverse complements and k-mers; bulk results checked against the
one-symbol path, complements and k-mers against a pure-Python computation.
"""

import array
import copy
import ctypes
import operator
import pickle

from campaign import Failure, HostileError
from package_fuzz_hostile import BufferOf, IndexOf, Items, Raises, show

import alphabet as ab
from helpers import longest_match_codes


class AlphabetActions:
    """The actions on alphabets; `alphabets` holds those the episode made."""

    def random_options(self, symbols):
        """Keyword options, and whether they are valid for these symbols."""
        rng = self.rng
        listed = list(symbols) if isinstance(symbols, (str, list)) else []
        options = {}
        valid = True
        if rng.random() < 0.3:
            options["ignore_case"] = rng.choice([True, False, True, 1, "yes"])
            valid = valid and isinstance(options["ignore_case"], bool)
        if listed and rng.random() < 0.3:
            target = rng.choice(listed)
            alias = rng.choice(["u", "U", "?", "zz", "é", target])
            wrong_target = rng.random() < 0.2
            aliases = {alias: "not a symbol" if wrong_target else target}
            options["aliases"] = aliases if rng.random() < 0.9 else list(aliases.items())
            valid = valid and isinstance(options["aliases"], dict)
            valid = valid and alias not in listed and not wrong_target
        if listed and rng.random() < 0.2:
            options["unknown"] = rng.choice([rng.choice(listed), "not a symbol", 3])
            valid = valid and options["unknown"] in listed
        if listed and rng.random() < 0.3:
            if rng.random() < 0.7:
                shuffled = listed[:]
                rng.shuffle(shuffled)
                complements = dict(zip(listed, shuffled, strict=False))
                if all(len(s) == 1 for s in listed) and rng.random() < 0.5:
                    complements = "".join(complements[s] for s in listed)
                options["complements"] = complements
                valid = valid and len(listed) <= 256
            else:
                options["complements"] = rng.choice(["", "X", 5, {"A": "Q"}])
                valid = False
        return options, valid

    def new_alphabet(self):
        symbols, clean = self.random_symbols()
        options, valid = self.random_options(symbols) if clean else ({}, False)
        injected = (HostileError, KeyboardInterrupt) if not clean else ()
        alphabet, exc = self.attempt(
            f"Alphabet({show(symbols)}, **{show(options)})",
            lambda: ab.Alphabet(symbols, **options),
            injected=injected,
        )
        if exc is not None:
            if clean and valid:
                raise Failure(f"Alphabet({show(symbols)}, **{show(options)}) refused: {exc!r}")
            return
        if not clean:
            raise Failure(f"Alphabet({show(symbols)}) accepted symbols it cannot hold")
        self.check_alphabet(alphabet, list(symbols))
        self.alphabets.append(alphabet)

    def check_alphabet(self, alphabet, symbols=None):
        listed = list(alphabet.symbols)
        if symbols is not None and listed != symbols:
            raise Failure(f"{show(alphabet)}: symbols {show(listed)}, made from {show(symbols)}")
        if len(alphabet) != len(listed):
            raise Failure(f"{show(alphabet)}: len {len(alphabet)} for {len(listed)} symbols")
        for code in self.rng.sample(range(len(listed)), min(len(listed), 5)):
            symbol = listed[code]
            last = len(listed) - 1 - listed[::-1].index(symbol)
            if alphabet.decode(code) != symbol or alphabet.encode(symbol) != last:
                raise Failure(f"{show(alphabet)}: code {code} and symbol {symbol!r} disagree")

    def alphabet_or_standard(self):
        rng = self.rng
        if self.alphabets and rng.random() < 0.7:
            return rng.choice(self.alphabets)
        maker = rng.choice(
            [ab.dna, ab.rna, ab.protein, ab.iupac_dna, ab.iupac_rna, ab.extended_protein]
        )
        alphabet = maker()
        if alphabet is None:  # a standard alphabet that an action cleared
            alphabet = ab.Alphabet("ACGT")
        self.track(alphabet)
        return alphabet

    def standard(self):
        rng = self.rng
        name = rng.choice(["dna", "rna", "protein"])
        getter, setter = getattr(ab, name), getattr(ab, f"set_{name}")
        r = rng.random()
        if r < 0.5:
            alphabet, _ = self.attempt(f"{name}()", getter)
            if alphabet is not None:
                self.check_alphabet(alphabet)
            return
        choice = rng.choice([None, self.pick(self.alphabets), self.saved[name], "dna", 5])
        _, exc = self.attempt(f"set_{name}({show(choice)})", lambda: setter(choice))
        if exc is None and getter() is not choice:
            raise Failure(f"set_{name}({show(choice)}): {name}() is {show(getter())}")
        if exc is not None and (choice is None or isinstance(choice, ab.Alphabet)):
            raise Failure(f"set_{name}({show(choice)}) refused: {exc!r}")

    def reshape_alphabet(self):
        rng = self.rng
        alphabet = self.alphabet_or_standard()
        r = rng.random()
        if r < 0.35:
            options, _ = self.random_options(list(alphabet.symbols))
            result, _ = self.attempt(
                f"{show(alphabet)}.with_options(**{show(options)})",
                lambda: alphabet.with_options(**options),
            )
        elif r < 0.7:
            symbols, clean = self.random_symbols()
            result, exc = self.attempt(
                f"{show(alphabet)}.extend({show(symbols)})",
                lambda: alphabet.extend(symbols),
                injected=(HostileError, KeyboardInterrupt),
            )
            if result is not None:
                self.check_alphabet(result, list(alphabet.symbols) + list(symbols))
        elif r < 0.85:
            handle = rng.choice(
                [alphabet.handle, 0, -1, 2**63 - 1, self.raw_handle(), IndexOf(alphabet.handle)]
            )
            result, _ = self.attempt(
                f"Alphabet.from_handle({show(handle)})", lambda: ab.Alphabet.from_handle(handle)
            )
            if result is not None:
                self.check_alphabet(result)
        else:
            result, _ = self.attempt(
                f"pickle/copy {show(alphabet)}",
                lambda: (pickle.loads(pickle.dumps(alphabet)), copy.deepcopy(alphabet)),
            )
            if result is not None and not (
                result[0] == alphabet and hash(result[0]) == hash(alphabet)
            ):
                raise Failure(f"pickle of {show(alphabet)} gives {show(result[0])}")
            result = result[0] if result else None
        if isinstance(result, ab.Alphabet):
            self.alphabets.append(result)

    def text_for(self, alphabet):
        """Symbols of `alphabet` (and now and then others), as a text, a
        buffer of characters or a list; and whether every one is a symbol."""
        rng = self.rng
        symbols = alphabet.symbols
        length = rng.choice([0, 1, 2, 5, 17, 64, 300]) if rng.random() < 0.97 else 70000
        chosen = rng.choices(symbols, k=length) if symbols else []
        if rng.random() < 0.25 and length:
            chosen[rng.randrange(length)] = rng.choice(
                ["?", "\0", "é", "\U0001f600", "a", "ACGT", "\ud800"]
            )
        one_char = all(len(s) == 1 for s in symbols)
        text = "".join(chosen)
        r = rng.random()
        if one_char and r < 0.5:
            return text, list(text)
        if one_char and r < 0.65 and all(ord(c) < 256 for c in text):
            raw = text.encode("latin-1")
            form = rng.choice(
                [
                    bytes,
                    bytearray,
                    memoryview,
                    lambda b: array.array("B", b),
                    lambda b: memoryview(b).cast("c"),
                    lambda b: BufferOf(b),
                ]
            )
            return form(raw), list(text)
        if not one_char and r < 0.5 and all(c not in text for c in "\0\ud800"):
            return text, chosen
        if r < 0.8:
            return chosen, chosen
        if r < 0.9:
            return Items(chosen, at=rng.randrange(length + 1)), None
        return rng.choice(
            [None, 5, [1, 2], memoryview(b"ACGT")[::2], array.array("H", [65]), Raises()]
        ), None

    def one_by_one(self, alphabet, chosen):
        """The codes of `chosen` one symbol at a time, or the AlphabetError at
        the first that has none (as (position,))."""
        codes = []
        for position, symbol in enumerate(chosen):
            try:
                codes.append(alphabet.encode(symbol))
            except ab.AlphabetError:
                return (position,)
        return codes

    def encode(self):
        alphabet = self.alphabet_or_standard()
        given, chosen = self.text_for(alphabet)
        injected = (HostileError,) if isinstance(given, (Items, Raises)) else ()
        result, exc = self.attempt(
            f"{show(alphabet)}.encode_all({show(given)})",
            lambda: alphabet.encode_all(given),
            injected=injected,
        )
        if chosen is None:
            return
        splits = not isinstance(given, list)
        if splits and not all(len(s) == 1 for s in alphabet.symbols):
            # Cut by the longest symbol at each position.
            cut = longest_match_codes(alphabet, given)
            expected = (cut[1],) if isinstance(cut, tuple) else cut
        else:
            expected = self.one_by_one(alphabet, chosen)
        if isinstance(expected, tuple):
            if not isinstance(exc, ab.AlphabetError) or exc.position != expected[0]:
                raise Failure(
                    f"encode_all: {exc!r} (position {getattr(exc, 'position', None)}); one "
                    f"symbol at a time refuses position {expected[0]}"
                )
            return
        if exc is not None:
            raise Failure(f"encode_all refused {show(given)}: {exc!r}; one at a time: {expected}")
        kind = bytes if len(alphabet) <= 256 else array.array
        if type(result) is not kind or list(result) != expected:
            raise Failure(f"encode_all gives {show(result)}; one at a time {show(expected)}")

    def decode(self):
        rng = self.rng
        alphabet = self.alphabet_or_standard()
        given, values, raises = self.codes_for(len(alphabet))
        how = rng.choice(["decode_all", "decode_str", "decode_all"])
        result, exc = self.attempt(
            f"{show(alphabet)}.{how}({show(given)})",
            lambda: getattr(alphabet, how)(given),
            injected=raises,
        )
        if values is None:
            return
        symbols = alphabet.symbols
        bad = next((i for i, v in enumerate(values) if not 0 <= v < len(symbols)), None)
        if bad is not None:
            if not isinstance(exc, ab.AlphabetError) or exc.position != bad:
                raise Failure(f"{how}: {exc!r}; code {values[bad]} at {bad} is not a code")
            return
        if exc is not None:
            raise Failure(f"{how} refused {show(given)}: {exc!r}")
        expected = [alphabet.decode(v) for v in values]
        if how == "decode_str":
            expected = "".join(expected)
        if result != expected or type(result) is not type(expected):
            raise Failure(f"{how} gives {show(result)}, one at a time {show(expected)}")

    def complement_and_kmers(self):
        rng = self.rng
        alphabet = self.alphabet_or_standard()
        given, values, raises = self.codes_for(len(alphabet))
        if rng.random() < 0.5:
            table = alphabet._complements
            result, exc = self.attempt(
                f"{show(alphabet)}.reverse_complement({show(given)})",
                lambda: alphabet.reverse_complement(given),
                injected=raises,
            )
            if values is None or isinstance(given, type(iter([]))):
                return
            if table is None:
                if not isinstance(exc, TypeError):
                    raise Failure(f"reverse_complement without complements: {exc!r}")
                return
            if isinstance(exc, TypeError) and isinstance(given, ctypes.Array):
                return  # no copy() to make a result of its type with
            bad = next((i for i, v in enumerate(values) if not 0 <= v < len(table)), None)
            signed_bytes = (
                memoryview(given).format in ("b", "<b", ">b")
                if not isinstance(given, (list, tuple))
                else False
            )
            if isinstance(exc, OverflowError) and signed_bytes and max(table) > 127:
                return  # the complements do not fit signed one-byte codes
            if bad is not None:
                if not isinstance(exc, ab.AlphabetError) or exc.position != bad:
                    raise Failure(f"reverse_complement: {exc!r}; first bad code at {bad}")
                return
            expected = [table[v] for v in reversed(values)]
            if exc is not None or list(result) != expected or type(result) is not type(given):
                raise Failure(f"reverse_complement gives {show(result)}, expected {expected}")
            if list(given) != values:
                raise Failure(f"reverse_complement changed its input {show(given)}")
            return
        k = rng.choice([1, 2, 3, 5, 0, -1, 32, 2**70, IndexOf(2)])
        result, exc = self.attempt(
            f"{show(alphabet)}.kmers({show(given)}, {show(k)})",
            lambda: alphabet.kmers(given, k),
            injected=raises,
        )
        if values is None:
            return
        self.judge_kmers(values, operator.index(k), len(alphabet), result, exc)
