// columnKinds: each column's exact value types and 64-bit fit, in one pass.
#include <array>
#include <vector>

#include "args.h"
#include "errors.h"
#include "functions.h"
#include "py_ref.h"

namespace morvo {

const char COLUMN_KINDS_DOC[] =
    "columnKinds(rows)\n--\n\n"
    "What a load needs to know of a chunk before sending it to a database, in\n"
    "one pass: each column's distinct exact types, in the order first met, and\n"
    "whether every exact `int` in it fits in 64 bits. None where `rows` isn't a\n"
    "list of tuples of one width, which the Python layer then reads itself.\n\n"
    "Not masking, but the same per-value walk the GIL makes slow in Python:\n"
    "`morvo.database.values.ValuePreparer` finds the columns a driver takes\n"
    "differently from these.";

namespace {
constexpr std::array<const char*, 1> KINDS_NAMES = {"rows"};
constexpr Signature KINDS_SIGNATURE{"columnKinds()", KINDS_NAMES};
}  // namespace

PyObject* columnKinds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 1> bound{};
  if (!bindFastcall(KINDS_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  PyObject* rows = bound[0];
  if (!PyList_Check(rows)) Py_RETURN_NONE;

  // Building the result lists allocates, and any allocation may run the
  // garbage collector and with it a __del__ that changes `rows`: the length
  // is checked at every step and each row is held while it is read.
  const Py_ssize_t start = PyList_GET_SIZE(rows);
  Py_ssize_t width = -1;
  PyRef kinds;
  std::vector<bool> fits;
  for (Py_ssize_t r = 0; r < start && r < PyList_GET_SIZE(rows); ++r) {
    PyRef held = PyRef::borrow(PyList_GET_ITEM(rows, r));
    PyObject* row = held.get();
    if (!PyTuple_Check(row)) Py_RETURN_NONE;
    Py_ssize_t length = PyTuple_GET_SIZE(row);
    if (width < 0) {
      width = length;
      kinds = PyRef::steal(PyList_New(width));
      if (!kinds) return raiseInternal("failed to create a Python list");
      for (Py_ssize_t j = 0; j < width; ++j) {
        PyObject* list = PyList_New(0);
        if (!list) return raiseInternal("failed to create a Python list");
        PyList_SET_ITEM(kinds.get(), j, list);
      }
      fits.assign(static_cast<size_t>(width), true);
    } else if (length != width) {
      Py_RETURN_NONE;
    }
    for (Py_ssize_t j = 0; j < width; ++j) {
      PyObject* item = PyTuple_GET_ITEM(row, j);
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(item));
      if (Py_TYPE(item) == &PyLong_Type && fits[static_cast<size_t>(j)]) {
        long value = PyLong_AsLong(item);
        if (value == -1 && PyErr_Occurred()) {
          PyErr_Clear();
          fits[static_cast<size_t>(j)] = false;
        }
      }
      PyObject* list = PyList_GET_ITEM(kinds.get(), j);
      bool seen = false;
      for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list) && !seen; ++k) seen = PyList_GET_ITEM(list, k) == type;
      if (!seen && PyList_Append(list, type) < 0) return nullptr;
    }
  }
  if (width < 0) {
    kinds = PyRef::steal(PyList_New(0));
    if (!kinds) return raiseInternal("failed to create a Python list");
  }
  PyRef flags = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(fits.size())));
  if (!flags) return raiseInternal("failed to create a Python list");
  for (size_t j = 0; j < fits.size(); ++j) {
    PyList_SET_ITEM(flags.get(), static_cast<Py_ssize_t>(j), PyBool_FromLong(fits[j]));
  }
  return PyTuple_Pack(2, kinds.get(), flags.get());
}

}  // namespace morvo
