// The extension module's entry point: multi-phase initialisation with one
// execution step that adds the constants, the Masker class and the functions.
#include <Python.h>

#include "errors.h"
#include "functions.h"
#include "masker.h"

namespace morvo {
namespace {

// Every entry point is guarded: no C++ exception reaches the interpreter.
PyMethodDef FUNCTIONS[] = {
    {"maskChunk", guardedMethod<maskChunk>(), METH_FASTCALL | METH_KEYWORDS, MASK_CHUNK_DOC},
    {"columnKinds", guardedMethod<columnKinds>(), METH_FASTCALL | METH_KEYWORDS, COLUMN_KINDS_DOC},
    {"availableCores", guardedNoArgs<availableCoresFunction>, METH_NOARGS, AVAILABLE_CORES_DOC},
    {"setThreads", guardedMethod<setThreads>(), METH_FASTCALL | METH_KEYWORDS, SET_THREADS_DOC},
    {"threads", guardedNoArgs<threadsFunction>, METH_NOARGS, THREADS_DOC},
    {nullptr, nullptr, 0, nullptr},
};

int execute(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "morvo_rs is initialised on a module object");
    return -1;
  }
  if (PyModule_AddStringConstant(module, "__version__", "0.2.2") < 0) return -1;
  if (PyModule_AddStringConstant(module, "FALLBACK", "fallback") < 0) return -1;
  if (PyModule_AddStringConstant(module, "REFUSED", "refused") < 0) return -1;
  if (!internalErrorType()) return -1;
  PyTypeObject* type = maskerType();
  if (!type) return -1;
  Py_INCREF(type);
  if (PyModule_AddObject(module, "Masker", reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return PyModule_AddFunctions(module, FUNCTIONS);
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "morvo_rs", "", 0, nullptr, SLOTS, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace morvo

PyMODINIT_FUNC PyInit_morvo_rs() { return PyModuleDef_Init(&morvo::MODULE); }
