#include "sequence.h"

#include <algorithm>

#include "conversion.h"

namespace morvo {

bool readStr(PyObject* value, Text& out) {
  if (!PyUnicode_Check(value)) {
    setNotInstance(value, "str");
    return false;
  }
  return readUtf8(value, out);
}

bool sizeHint(PyObject* values, size_t& hint) {
  hint = 0;
  if (PyList_Check(values)) {
    hint = static_cast<size_t>(PyList_GET_SIZE(values));
  } else if (PyTuple_Check(values)) {
    hint = static_cast<size_t>(PyTuple_GET_SIZE(values));
  } else if (Py_ssize_t length = PyObject_Length(values); length >= 0) {
    hint = std::min(static_cast<size_t>(length), HINT_LIMIT);
  } else if (!clearOrdinaryError()) {
    return false;
  }
  return true;
}

}  // namespace morvo
