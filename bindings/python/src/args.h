// Binds the arguments of a callable by position or keyword, with the
// interpreter's standard wording for missing, surplus, repeated and unknown
// arguments, and reads argument values with the note that names them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace morvo {

struct Signature {
  const char* fullName;  // as shown in messages, e.g. "Masker.__new__()"
  std::span<const char* const> names;
};

// Fastcall convention: positional args, then the values of kwnames. Fills
// out (one borrowed reference per name) and returns true, or sets TypeError.
bool bindFastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, std::span<PyObject*> out);

// Classic convention (tuple and dict), for the type's constructor.
bool bindTuple(const Signature& signature, PyObject* args, PyObject* kwargs,
               std::span<PyObject*> out);

// Readers that name the argument in a note on failure.
std::optional<uint64_t> readU64(PyObject* value, const char* name);

// TypeError "'<type>' object is not an instance of '<expected>'".
void setNotInstance(PyObject* value, const char* expected);
// The same, noted with the argument's name.
void raiseNotInstance(PyObject* value, const char* expected, const char* name);

}  // namespace morvo
