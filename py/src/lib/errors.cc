#include "errors.h"

#include <string>

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
