// Values across the Python boundary: Python objects read into the engine's
// inputs, and outputs built back into Python objects. Everything here needs
// the GIL.
#pragma once

#include <Python.h>

#include "py_ref.h"
#include "values.h"

namespace morvo {

// Copies a str's strict UTF-8 text; false with the interpreter's encoding
// error (lone surrogates). Needs the GIL.
bool readUtf8(PyObject* text, morvo::Text& out);

// The problem entry for a FALLBACK or REFUSED output: "fallback", or
// ("refused", message). A new reference, or null with an exception set.
PyObject* problemMarker(const Output& output);

// What a number column needs of the decimal module: the class, to recognise
// Decimal inputs, and a maker of Decimal results from their text. The maker
// is the create_decimal of a context of the widest precision and exponent
// range, under which every text converts exactly, as with Decimal(text): of
// the exact constructions the module offers it is the cheapest.
struct DecimalKit {
  PyRef type;
  PyRef make;
  // The maker takes its argument in a tuple; one serves every call while
  // it stays ours alone (see makeDecimal).
  PyRef arguments;
};
// False with the import's error set.
bool importDecimalKit(DecimalKit& kit);

// How a str is read: its bytes copied (input::Text), or, when longer than a
// Text holds without allocating, borrowed from the str (input::TextView),
// which the caller then holds until the inputs are freed.
enum class StrBytes : uint8_t { copied, borrowed };

// Reads a Python value. decimalType is decimal.Decimal in a number column
// and null elsewhere. False with a Python exception set when a text cannot be
// read; every other unreadable value becomes input::Other. Needs the GIL.
bool convert(PyObject* value, PyObject* decimalType, Input& out, StrBytes strs = StrBytes::copied);

// A new reference for the output, or null with an exception set; decimal is
// the call's DecimalKit in a number column, else null. Needs the GIL.
PyObject* toPython(const Output& output, DecimalKit* decimal);

}  // namespace morvo
