// Typed sequences as native Python objects.
//
// SequenceBase, a subtype of Held, owns one registry entry holding a typed
// sequence and points at the constant descriptor row of its kind (one row
// per line of sequences/kinds.def): the kind's flat functions, its buffer
// item, and the package's conversion of Python values to the flat form and
// back (sequence_values.h).  Its slots call the flat functions directly, so
// len(seq), seq[i] and seq[i] = v reach C without any Python code.
//
// The package's classes (alphabet.Sequence, ByteSequence and one class per
// kind with a `kind` class attribute naming its row) subclass it in Python.
// Instances are made by calling such a class with the values, or by a view
// (seq[a:b]); either way the sequence is registered, filled and adopted in
// one step of C code (see held.h), and a failure anywhere in the fill
// releases it, so the input is never half-consumed into a registered
// object.  An instance adopted through _native.adopt finds its row from its
// class on first use.
//
// Positions cross _alphabet's methods as 32-bit ints, and the package keeps
// that rule for every index and slice bound (IndexError beyond it), although
// the flat functions take 64-bit values: lengths are reported whole, and
// iteration, comparison and the buffer reach every element.
//
// Every element crosses one flat call made with the interpreter lock held,
// so no part of a bulk fill or read can run without it.
#ifndef ALPHABET_NATIVE_SEQUENCES_SEQUENCE_TYPE_H_
#define ALPHABET_NATIVE_SEQUENCES_SEQUENCE_TYPE_H_

#include <Python.h>

namespace native {

// Adds SequenceBase to the module.
bool AddSequences(PyObject* module);

}  // namespace native

#endif  // ALPHABET_NATIVE_SEQUENCES_SEQUENCE_TYPE_H_
