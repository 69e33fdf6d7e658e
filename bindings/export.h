// Marks a function as one of the module's flat functions: exported from the
// shared object under its plain C name.  Everything else stays hidden.
#ifndef ALPHABET_BINDINGS_EXPORT_H_
#define ALPHABET_BINDINGS_EXPORT_H_

#define ALPHABET_EXPORT extern "C" __attribute__((visibility("default")))

#endif  // ALPHABET_BINDINGS_EXPORT_H_
