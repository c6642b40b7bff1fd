// Reading Python sequences item by item: the columns and rows that are
// masked, and the arguments that are lists of items (maskers, word lists).
#pragma once

#include <Python.h>

#include "args.h"
#include "common.h"
#include "errors.h"
#include "py_ref.h"

namespace morvo {

// Reads a str (or subclass) as UTF-8; a TypeError for anything else, the
// interpreter's encoding error for lone surrogates. No note is added.
bool readStr(PyObject* value, Text& out);

// Calls visit(item) for every item, in order, and stops at the first false
// (visit has set an exception). A list is read by index while the index is
// below both its length at the start and its current length, since visiting
// may run Python code that shrinks it; a tuple is read by index when
// tupleByIndex; anything else is iterated, and an iteration error fails.
template <class Visit>
bool forEachItem(PyObject* values, Py_ssize_t startLength, bool tupleByIndex, Visit visit) {
  if (PyList_Check(values)) {
    for (Py_ssize_t i = 0; i < startLength && i < PyList_GET_SIZE(values); ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(values, i));  // held while visited
      if (!visit(item.get())) return false;
    }
    return true;
  }
  if (tupleByIndex && PyTuple_Check(values)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values); ++i) {
      if (!visit(PyTuple_GET_ITEM(values, i))) return false;
    }
    return true;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(values));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!visit(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// An argument read as a list of items: a str is refused with strRefusal
// rather than read as characters, anything else must pass the sequence check
// and is iterated. Every failure, visit's included, carries the note naming
// the argument.
template <class Visit>
bool readSequence(PyObject* value, const char* name, const char* strRefusal, Visit visit) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, strRefusal);
  } else if (!PySequence_Check(value)) {
    setNotInstance(value, "Sequence");
  } else if (forEachItem(value, PyList_Check(value) ? PyList_GET_SIZE(value) : 0, false, visit)) {
    return true;
  }
  noteArgument(name);
  return false;
}

}  // namespace morvo
