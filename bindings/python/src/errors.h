// The module's internal-error exception type and helpers for raising errors.
// An internal error is a state that must never occur; it derives directly
// from BaseException so that ordinary `except Exception` handlers let it pass.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <string>

namespace morvo {

// The internal-error type, created once per process (a new reference is not
// returned: the type lives until the process ends). Null with an exception set
// when it cannot be created.
PyObject* internalErrorType();

// Sets the internal error with the message; always returns nullptr.
PyObject* raiseInternal(const char* message);

// What stopped native work: a broken invariant (the internal error), a
// masking thread the system would not start (RuntimeError), or memory that
// ran out (MemoryError).
struct Failure {
  enum class Kind { None, Internal, ThreadStart, Memory };
  Kind kind = Kind::None;
  std::string message;
  explicit operator bool() const { return kind != Kind::None; }
};

// Classifies a caught C++ exception. Needs no GIL.
Failure failureOf(std::exception_ptr error);

// Raises the Python exception for a failure; always returns nullptr.
PyObject* raiseFailure(const Failure& failure);

// Runs an entry point's body, turning any C++ exception that escapes it into
// the Python exception for it, so none crosses into the interpreter. Needs
// the GIL.
template <class Body>
PyObject* guarded(Body body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;  // a thread ended by the interpreter at exit: let it go
  } catch (...) {
    return raiseFailure(failureOf(std::current_exception()));
  }
}

// Entry points with the guard around them, one per calling convention.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template <FastcallFunction F>
PyObject* guardedFastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return F(self, args, nargs, kwnames); });
}
// A guarded fastcall entry point as a method table takes it.
template <FastcallFunction F>
PyCFunction guardedMethod() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guardedFastcall<F>));
}
template <PyCFunction F>
PyObject* guardedNoArgs(PyObject* self, PyObject* unused) {
  return guarded([&] { return F(self, unused); });
}

// Drops the pending exception where the module may treat the failure as an
// answer (an unreadable value, a length that is only a hint) and returns
// true; an exception that is not an Exception (KeyboardInterrupt,
// SystemExit) stays pending and gives false, so that it propagates. True
// when nothing is pending.
bool clearOrdinaryError();

// Adds the note "while processing '<name>'" to the pending exception.
void noteArgument(const char* name);

}  // namespace morvo
