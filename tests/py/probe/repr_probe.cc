// Test-only module: the C++ repr of floats that the bindings use in place of
// the interpreter's, so that pytest can hold it to repr() itself.
//
//   reprs(floats) -> list of texts
#include <Python.h>

#include "float_repr.h"

namespace {

PyObject* reprs(PyObject*, PyObject* arg) {
  PyObject* seq = PySequence_Fast(arg, "expected a sequence of floats");
  if (!seq) return nullptr;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject* out = PyList_New(n);
  for (Py_ssize_t i = 0; out && i < n; ++i) {
    double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq, i));
    if (v == -1.0 && PyErr_Occurred()) {
      Py_CLEAR(out);
      break;
    }
    morvo::Text text = morvo::floatRepr(v);
    PyObject* item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!item) {
      Py_CLEAR(out);
      break;
    }
    PyList_SET_ITEM(out, i, item);
  }
  Py_DECREF(seq);
  return out;
}

PyMethodDef METHODS[] = {{"reprs", reprs, METH_O, "floatRepr of each float"}, {nullptr, nullptr, 0, nullptr}};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "repr_probe", "The C++ float repr, for tests.", -1, METHODS,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_repr_probe(void) { return PyModule_Create(&MODULE); }
