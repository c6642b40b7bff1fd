// Small RAII helpers over the CPython API: an owned reference and a scope
// that releases the interpreter lock.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <utility>

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

// Releases the interpreter lock for its scope. Nothing inside the scope may
// touch a Python object.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// Runs work with the GIL released. An exception it throws (an internal error:
// work touches no Python object) comes back as its message; none gives "".
template <class Work>
std::string withoutGil(Work work) {
  GilRelease release;
  try {
    work();
  } catch (const std::exception& error) {
    std::string message = error.what();
    return message.empty() ? "masking failed" : message;
  }
  return {};
}

}  // namespace morvo
