#include "args.h"

#include <string>

#include "errors.h"

namespace morvo {

namespace {

bool tooMany(const Signature& signature, Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
               signature.fullName, signature.names.size(), given, given == 1 ? "was" : "were");
  return false;
}

bool missing(const Signature& signature, std::span<PyObject*> out) {
  std::string list;
  size_t count = 0;
  for (PyObject* value : out) count += value == nullptr;
  size_t seen = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i]) continue;
    if (seen > 0) list += count > 2 ? ", " : " ";
    if (seen > 0 && seen + 1 == count) list += "and ";
    list += "'";
    list += signature.names[i];
    list += "'";
    ++seen;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
               signature.fullName, count, count == 1 ? "" : "s", list.c_str());
  return false;
}

// Places one keyword argument; false with TypeError set on a bad name.
bool placeKeyword(const Signature& signature, PyObject* key, PyObject* value,
                  std::span<PyObject*> out) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &length) : nullptr;
  if (!text) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", signature.fullName);
    return false;
  }
  std::string_view name(text, static_cast<size_t>(length));
  for (size_t i = 0; i < signature.names.size(); ++i) {
    if (name != signature.names[i]) continue;
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.fullName,
                   signature.names[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.fullName, key);
  return false;
}

bool finish(const Signature& signature, std::span<PyObject*> out) {
  for (PyObject* value : out) {
    if (!value) return missing(signature, out);
  }
  return true;
}

}  // namespace

bool bindFastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, std::span<PyObject*> out) {
  for (auto& slot : out) slot = nullptr;
  if (static_cast<size_t>(nargs) > signature.names.size()) return tooMany(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<size_t>(i)] = args[i];
  if (kwnames) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!placeKeyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    }
  }
  return finish(signature, out);
}

bool bindTuple(const Signature& signature, PyObject* args, PyObject* kwargs,
               std::span<PyObject*> out) {
  for (auto& slot : out) slot = nullptr;
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<size_t>(nargs) > signature.names.size()) return tooMany(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    // The dict is the interpreter's own copy of the call's keywords; nothing
    // else can change it while we walk it.
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!placeKeyword(signature, key, value, out)) return false;
    }
  }
  return finish(signature, out);
}

std::optional<uint64_t> readU64(PyObject* value, const char* name) {
  // __index__ may run Python code; it gets its own reference to work on.
  PyObject* index = PyNumber_Index(value);
  if (!index) {
    noteArgument(name);
    return std::nullopt;
  }
  unsigned long long result = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    noteArgument(name);
    return std::nullopt;
  }
  return static_cast<uint64_t>(result);
}

void setNotInstance(PyObject* value, const char* expected) {
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", Py_TYPE(value)->tp_name,
               expected);
}

void raiseNotInstance(PyObject* value, const char* expected, const char* name) {
  setNotInstance(value, expected);
  noteArgument(name);
}

}  // namespace morvo
