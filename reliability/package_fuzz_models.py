"""The package fuzzer's actions for model inputs: padded batches, one-hot
rows, translation, canonical k-mers and minimizers; each result checked
against the one-sequence calls it must agree with."""

from campaign import Failure, HostileError
from package_fuzz_hostile import Raises, show

import alphabet as ab

PROTEIN = "ACDEFGHIKLMNPQRSTVWY"


class ModelActions:
    """Batches, one-hot rows, translation and k-mers, on the alphabets the
    episode made and the standard ones."""

    def batches(self):
        rng = self.rng
        alphabet = self.alphabet_or_standard()
        symbols = list(alphabet.symbols) or ["A"]
        count = rng.choice([0, 1, 3, 20])
        texts = [rng.choices(symbols, k=rng.choice([0, 1, 5, 17, 70])) for _ in range(count)]
        given = [
            "".join(t) if rng.random() < 0.6 else alphabet.encode_all(t) if rng.random() < 0.8
            else ab.Record("r", "", "".join(t))
            for t in texts
        ]  # fmt: skip
        if rng.random() < 0.1:
            given.append(rng.choice([None, 5, Raises(), "\0", [len(symbols) + 3]]))
        options = {
            "pad": rng.choice(symbols + ["not a symbol"]),
            "length": rng.choice([None, None, 0, 4, 30]),
            "truncate": rng.random() < 0.3,
            "prefix": rng.choice([(), symbols[0], symbols[-1:]]),
            "dtype": rng.choice([None, "int64", "uint16", "float32", "int8"]),
        }
        result, exc = self.attempt(
            f"{show(alphabet)}.encode_batch({show(given)}, **{show(options)})",
            lambda: alphabet.encode_batch(given, **options),
            injected=(HostileError,),
        )
        if result is None:
            return
        codes, lengths = result
        rows, counts = memoryview(codes).tolist(), list(memoryview(lengths))
        for i, item in enumerate(given):
            sequence = item.sequence if isinstance(item, ab.Record) else item
            # A text codes as encode_all codes it; codes are taken as they are.
            one = list(alphabet.encode_all(sequence) if isinstance(sequence, str) else sequence)
            framed = [alphabet.encode(options["prefix"])] if isinstance(options["prefix"], str) else [
                alphabet.encode(s) for s in options["prefix"]
            ]  # fmt: skip
            keep = counts[i] - len(framed)
            if rows[i][: counts[i]] != framed + one[:keep] or (
                not options["truncate"] and keep != len(one)
            ):
                raise Failure(f"encode_batch row {i} is {rows[i]}, encode_all {one}")
        decoded, exc = self.attempt("decode_batch", lambda: alphabet.decode_batch(codes, lengths))
        if exc is not None:
            raise Failure(f"decode_batch of encode_batch's rows refused: {exc!r}")
        if len(symbols) <= 64 and rng.random() < 0.3:
            hot, exc = self.attempt(
                f"{show(alphabet)}.one_hot_batch", lambda: alphabet.one_hot_batch(given)
            )
            if hot is not None and (hot.shape[0], hot.shape[2]) != (codes.shape[0], len(symbols)):
                if not (hot.shape[2] == 4 and len(symbols) == 16):  # the IUPAC bases
                    raise Failure(f"one_hot_batch has shape {hot.shape}, the codes {codes.shape}")
        self.track(decoded)

    def translation_and_kmers(self):
        rng = self.rng
        letters = rng.choice(["ACGT", "ACGTN", "ACGTRYSWKMBDHVN", "acgtu", "ACG-T", "ACGTX"])
        text = "".join(rng.choices(letters, k=rng.choice([0, 2, 3, 50, 301, 70000])))
        table = rng.choice([1, 2, 11, 27, 33, 7])
        code, exc = self.attempt(f"genetic_code({table})", lambda: ab.genetic_code(table))
        if code is not None:
            frames, exc = self.attempt(f"six_frames({show(text)})", lambda: code.six_frames(text))
            if frames is not None:
                for frame in range(3):
                    one = code.translate(text, frame=frame)
                    if frames[frame] != one:
                        raise Failure(
                            f"six_frames[{frame}] {show(frames[frame])}, translate {show(one)}"
                        )
        alphabet = rng.choice([ab.dna(), ab.iupac_dna(), ab.rna(), ab.protein()]) or ab.iupac_dna()
        k = rng.choice([1, 3, 15, 21, 40, 0])
        canonical = rng.random() < 0.7
        skip = rng.random() < 0.3
        kmers, exc = self.attempt(
            f"{show(alphabet)}.kmers({show(text)}, {k}, canonical={canonical}, skip={skip})",
            lambda: alphabet.kmers(text, k, canonical=canonical, skip_ambiguous=skip),
        )
        positions, exc = self.attempt(
            f"{show(alphabet)}.minimizers({show(text)}, {k}, 5)",
            lambda: alphabet.minimizers(text, k, 5, canonical=canonical),
        )
        if positions is not None:
            found = list(positions[0])
            if found != sorted(set(found)) or any(p + k > len(text) for p in found):
                raise Failure(f"minimizer positions {show(found)} out of order or range")
