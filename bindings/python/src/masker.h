// The Python class Masker: one column's masker, built once from a subkey, a
// strategy name and options, then used to mask columns and chunks with the
// interpreter lock released.
#pragma once

#include <Python.h>

#include "column.h"

namespace morvo {

struct EngineApi;

struct MaskerObject {
  PyObject_HEAD
  Masker* masker;           // owned; freed with the object
  const EngineApi* engine;  // the engine of the module that built it
};

// The Masker type, built once per process on first need (borrowed), or null
// with an exception set.
PyTypeObject* maskerType();

// The record behind a Masker instance (or subclass instance).
inline const Masker& maskerOf(PyObject* object) { return *reinterpret_cast<MaskerObject*>(object)->masker; }

}  // namespace morvo
