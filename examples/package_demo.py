"""A short tour of the alphabet package, with no handle in sight.

`make demo` builds what it needs and runs it; after `make build`, from the
repository root:
    PYTHONPATH=build:build/python:python .venv/bin/python examples/package_demo.py
It ends by running the command line on examples/sample.fasta.
"""

import pathlib
import subprocess
import sys

import _alphabet
import alphabet

# The standard and extended alphabets are one object each for the process:
# made on first use, they stay.
dna, protein, iupac = alphabet.dna(), alphabet.protein(), alphabet.iupac_dna()
start = _alphabet.NumHandles()

print("DNA:", dna, "  Protein has", len(protein), "symbols")
codes = dna.encode_all("GATTACA")
print("GATTACA ->", list(codes), "->", dna.decode_str(codes))
print("MKWVTFISLL ->", list(protein.encode_all("MKWVTFISLL")))

dna_n = dna.extend("N")
print("DNA extended with N:", dna_n.symbols, "; GANNTC ->", list(dna_n.encode_all("GANNTC")))

try:
    dna.encode_all("GATXACA")
except alphabet.AlphabetError as error:
    print("Unknown symbol:", error)

lenient = iupac.with_options(ignore_case=True, aliases={"U": "T"}, unknown="N")
read = lenient.decode_str(lenient.encode_all("gauc?ry"))
print("IUPAC DNA:", "".join(iupac), "; gauc?ry read leniently:", read)
reverse = dna.reverse_complement([2, 0, 3])
print("Reverse complement of GATTACA:", dna.reverse_complement("GATTACA"), "; of codes:", reverse)
print("3-mers of GATTACA:", list(dna.kmers("GATTACA", 3)))

seq = alphabet.sequence("int16", [10, 20, 30])
view = seq[1:]
view[0] = 99
print("A view shares storage:", seq)

print("handles live:", _alphabet.NumHandles() - start)
del dna_n, seq, view, lenient
print("after release:", _alphabet.NumHandles() - start)

sample = pathlib.Path(__file__).with_name("sample.fasta")
command = [sys.executable, "-m", "alphabet", "encode", "dna"]
print("$ python -m alphabet encode dna <", sample.name, flush=True)  # before the child writes
with sample.open() as fasta:
    subprocess.run(command, stdin=fasta, check=True)
