// Values across the boundary: what the engine reads from Python (Input) and
// what it gives back (Output). Neither holds a Python reference, so they can
// be built under the interpreter lock, masked on any thread and freed
// anywhere. (While a column is masked, column.cc keeps each position's
// source: a finished Output, or the index of its value in the batch.)
#pragma once

#include <Python.h>

#include <variant>

#include "common.h"
#include "integer.h"

namespace morvo {

namespace input {
struct None {};
struct Int {
  Integer value;
};
struct Text {
  morvo::Text text;
};
struct Other {};
struct Bool {};  // the truth value is not kept: no strategy masks it
struct Float {
  double value;
  morvo::Text repr;
};
struct Decimal {
  morvo::Text text;  // Python's str() of the Decimal
};
}  // namespace input

// Tags 0 to 6, in this order.
using Input = std::variant<input::None, input::Int, input::Text, input::Other, input::Bool,
                           input::Float, input::Decimal>;

namespace output {
struct None {};
struct Int {
  Integer value;
};
struct Text {
  morvo::Text text;
};
struct Float {
  double value;
};
struct Decimal {
  morvo::Text text;  // becomes decimal.Decimal(text)
};
using Fallback = morvo::Fallback;
using Refused = morvo::Refused;
}  // namespace output

// Tags 0 to 6, in this order. Copies are deep: a copy owns its storage.
using Output = std::variant<output::None, output::Int, output::Text, output::Float, output::Decimal,
                            output::Fallback, output::Refused>;

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
