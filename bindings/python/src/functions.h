// The module-level functions, registered by the module's execution step.
#pragma once

#include <Python.h>

namespace morvo {

extern const char MASK_CHUNK_DOC[];
extern const char COLUMN_KINDS_DOC[];
extern const char AVAILABLE_CORES_DOC[];
extern const char SET_THREADS_DOC[];
extern const char THREADS_DOC[];

PyObject* maskChunk(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* columnKinds(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* availableCoresFunction(PyObject* module, PyObject* unused);
PyObject* setThreads(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* threadsFunction(PyObject* module, PyObject* unused);

}  // namespace morvo
