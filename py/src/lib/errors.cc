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

void noteArgument(const char* name) {
  if (!PyErr_Occurred()) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value) {
    std::string note = std::string("while processing '") + name + "'";
    // add_note may fail (an exception type that rejects notes); the original
    // error matters more than the note, so such a failure is dropped.
    PyObject* result = PyObject_CallMethod(value, "add_note", "s", note.c_str());
    if (result) {
      Py_DECREF(result);
    } else {
      PyErr_Clear();
    }
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace morvo
