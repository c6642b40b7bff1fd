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

// How many items to reserve room for when reading `values`: the real size of
// a list or tuple (whatever their __len__ says), else __len__ bounded by
// HINT_LIMIT, since a length is only a hint and may lie; 0 where __len__
// fails with an Exception. False with the error pending when it fails with
// anything else (KeyboardInterrupt).
inline constexpr size_t HINT_LIMIT = size_t{1} << 20;
bool sizeHint(PyObject* values, size_t& hint);

// Calls visit(item) for every item that iterating `values` gives (its own
// __iter__, a list subclass's included).
template <class Visit>
bool forEachIterated(PyObject* values, Visit visit) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(values));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!visit(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// Calls visit(item) for every item, in order, and stops at the first false
// (visit has set an exception). A list (or subclass) is read by index up to
// the interpreter's own size of it, and stops early if visiting, which may
// run Python code, shrinks it; a tuple is read by index when tupleByIndex;
// anything else is iterated, and an iteration error fails. Every item is
// held by a strong reference while it is visited.
template <class Visit>
bool forEachItem(PyObject* values, bool tupleByIndex, Visit visit) {
  if (PyList_Check(values)) {
    const Py_ssize_t start = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(values); ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(values, i));
      if (!visit(item.get())) return false;
    }
    return true;
  }
  if (tupleByIndex && PyTuple_Check(values)) {
    // A tuple's items cannot change; the tuple is held by the caller.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values); ++i) {
      if (!visit(PyTuple_GET_ITEM(values, i))) return false;
    }
    return true;
  }
  return forEachIterated(values, visit);
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
  } else if (forEachIterated(value, visit)) {
    return true;
  }
  noteArgument(name);
  return false;
}

}  // namespace morvo
