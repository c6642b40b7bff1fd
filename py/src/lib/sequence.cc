#include "sequence.h"

#include "values.h"

namespace morvo {

bool readStr(PyObject* value, Text& out) {
  if (!PyUnicode_Check(value)) {
    setNotInstance(value, "str");
    return false;
  }
  return readUtf8(value, out);
}

}  // namespace morvo
