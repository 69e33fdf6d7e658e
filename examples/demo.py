"""A short tour of the _alphabet module through its handles.

Every handle the demo takes up with IncRef it lets go with DecRef, and it
shows NumHandles back where it started.
"""

import _alphabet as m

taken = []


def take(handle):
    m.IncRef(handle)
    taken.append(handle)
    return handle


def strings(values):
    seq = take(m.Slice_string_CTor())
    for value in values:
        m.Slice_string_append(seq, value)
    return seq


def encode(alphabet, text):
    return [m.alphabet_Alphabet_Encode(alphabet, symbol) for symbol in text]


def decode(alphabet, codes):
    return "".join(m.alphabet_Alphabet_Decode(alphabet, str(code)) for code in codes)


start = m.NumHandles()
dna = take(m.alphabet_DNA())
protein = take(m.alphabet_Protein())

codes = encode(dna, "GATTACA")
print("DNA GATTACA        ->", codes, "->", decode(dna, codes))
codes = encode(protein, "MKWVTFISLL")
print("Protein MKWVTFISLL ->", codes, "->", decode(protein, codes))

dna_n = take(m.alphabet_Alphabet_Extend(dna, strings(["N"])))
symbols = take(m.alphabet_Alphabet_Symbols(dna_n))
listed = [m.Slice_string_elem(symbols, i) for i in range(m.Slice_string_len(symbols))]
print("DNA extended with N:", listed, "; GANNTC ->", encode(dna_n, "GANNTC"))

try:
    encode(dna, "GATXACA")
except RuntimeError as error:
    print("Unknown symbol:", error)

print("handles live:", m.NumHandles() - start)
for handle in reversed(taken):
    m.DecRef(handle)
print("after release:", m.NumHandles() - start)
