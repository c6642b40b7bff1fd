// Values across the Python boundary: Python objects read into the engine's
// inputs, and outputs built back into Python objects. Everything here needs
// the GIL.
#pragma once

#include <Python.h>

#include "values.h"

namespace morvo {

// Copies a str's strict UTF-8 text; false with the interpreter's encoding
// error (lone surrogates). Needs the GIL.
bool readUtf8(PyObject* text, morvo::Text& out);

// The problem entry for a FALLBACK or REFUSED output: "fallback", or
// ("refused", message). A new reference, or null with an exception set.
PyObject* problemMarker(const Output& output);

// The class decimal.Decimal, imported afresh: a new reference, or null with
// the import's error set.
PyObject* importDecimalType();

// Reads a Python value. decimalType is decimal.Decimal in a number column
// and null elsewhere. False with a Python exception set when a text cannot be
// read; every other unreadable value becomes input::Other. Needs the GIL.
bool convert(PyObject* value, PyObject* decimalType, Input& out);

// A new reference for the output, or null with an exception set. Needs the GIL.
PyObject* toPython(const Output& output, PyObject* decimalType);

}  // namespace morvo
