#include "errors.h"

#include <new>
#include <stdexcept>
#include <string>

#include "pool.h"

namespace morvo {

PyObject* internalErrorType() {
  // Created under the GIL on first need; the GIL serialises the check.
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc("morvo_rs.InternalError",
                                     "A state of the module that must never occur.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raiseInternal(const char* message) {
  PyObject* type = internalErrorType();
  if (type) PyErr_SetString(type, message);
  return nullptr;
}

Failure failureOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const ThreadStartError& thrown) {
    return {Failure::Kind::ThreadStart, thrown.what()};
  } catch (const std::bad_alloc&) {
    return {Failure::Kind::Memory, {}};
  } catch (const std::length_error&) {
    // A size no allocation can meet (a vector asked for more than it can
    // hold): memory that ran out, as far as the caller can tell.
    return {Failure::Kind::Memory, {}};
  } catch (const std::exception& thrown) {
    std::string message = thrown.what();
    return {Failure::Kind::Internal, message.empty() ? "masking failed" : message};
  } catch (...) {
    return {Failure::Kind::Internal, "masking failed"};
  }
}

bool clearOrdinaryError() {
  if (!PyErr_Occurred()) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

PyObject* raiseFailure(const Failure& failure) {
  switch (failure.kind) {
    case Failure::Kind::ThreadStart:
      PyErr_SetString(PyExc_RuntimeError, failure.message.c_str());
      return nullptr;
    case Failure::Kind::Memory:
      return PyErr_NoMemory();
    default:
      return raiseInternal(failure.message.empty() ? "masking failed" : failure.message.c_str());
  }
}

namespace {

// add_note may fail (an exception type that rejects notes); the original
// error matters more than the note, so such a failure is dropped.
void addNote(PyObject* exception, const char* name) {
  std::string note = std::string("while processing '") + name + "'";
  PyObject* result = PyObject_CallMethod(exception, "add_note", "s", note.c_str());
  if (result) {
    Py_DECREF(result);
  } else {
    PyErr_Clear();
  }
}

}  // namespace

void noteArgument(const char* name) {
  if (!PyErr_Occurred()) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
  addNote(exception, name);
  PyErr_SetRaisedException(exception);
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  if (value) addNote(value, name);
  PyErr_Restore(type, value, traceback);
#endif
}

}  // namespace morvo
