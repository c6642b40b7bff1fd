// The module's internal-error exception type and helpers for raising errors.
// An internal error is a state that must never occur; it derives directly
// from BaseException so that ordinary `except Exception` handlers let it pass.
#pragma once

#include <Python.h>

namespace morvo {

// The internal-error type, created once per process (a new reference is not
// returned: the type lives until the process ends). Null with an exception set
// when it cannot be created.
PyObject* internalErrorType();

// Sets the internal error with the message; always returns nullptr.
PyObject* raiseInternal(const char* message);

// Adds the note "while processing '<name>'" to the pending exception.
void noteArgument(const char* name);

}  // namespace morvo
