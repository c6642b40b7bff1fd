#include <Python.h>
PyMODINIT_FUNC PyInit_morvo_probe(void) { return NULL; }
