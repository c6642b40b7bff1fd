// Small RAII helpers over the CPython API: an owned reference and a scope
// that releases the interpreter lock.
#pragma once

#include <Python.h>
#include <cxxabi.h>
#include <unistd.h>

#include <exception>
#include <utility>

#include "errors.h"
#include "pool.h"

namespace morvo {

// Owns one strong reference (or none).
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference; null stays null (an error is then pending).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// Takes the interpreter lock back. While the interpreter finalises, CPython
// ends a thread that asks for the lock with pthread_exit, whose unwinding
// would run our destructors without the lock (or reach std::terminate
// through a noexcept frame). Such a thread is parked for good instead, as
// newer interpreters do themselves: the process is exiting.
inline void restoreGil(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    for (;;) pause();
  }
}

// Releases the interpreter lock for its scope. Nothing inside the scope may
// touch a Python object.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { restoreGil(state_); }

 private:
  PyThreadState* state_;
};

// Runs work with the GIL released, as native work that a fork waits for. An
// exception it throws (work touches no Python object) comes back as a
// Failure for raiseFailure.
template <class Work>
Failure withoutGil(Work work) {
  GilRelease release;
  NativeWork native;
  try {
    work();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return failureOf(std::current_exception());
  }
  return {};
}

}  // namespace morvo
