#include "errors.h"

#include <mutex>
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
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  std::string note = std::string("while processing '") + name + "'";
  PyObject* text = PyUnicode_FromString(note.c_str());
  if (text) {
    PyObject* result = PyObject_CallMethod(exc, "add_note", "O", text);
    Py_DECREF(text);
    if (result) {
      Py_DECREF(result);
    } else {
      PyErr_Clear();
    }
  } else {
    PyErr_Clear();
  }
  PyErr_SetRaisedException(exc);
}

}  // namespace morvo
