#include <Python.h>

static PyModuleDef _alphabet_moduledef = {PyModuleDef_HEAD_INIT, "_alphabet", nullptr, -1, nullptr,
                                          nullptr, nullptr, nullptr, nullptr};

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__alphabet() {
  return PyModule_Create2(&_alphabet_moduledef, PYTHON_API_VERSION);
}
